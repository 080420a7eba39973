# Runs eibhost once and checks its exit status and what it printed.
#   PROGRAM, EMULATOR (may be empty), ARGS ("|"-separated), INPUT (file for stdin, optional),
#   EXPECT_STATUS, EXPECT_OUTPUT (regular expression over stdout and stderr, optional)
string(REPLACE "|" ";" arguments "${ARGS}")
set(input_option)
if(INPUT)
  set(input_option INPUT_FILE ${INPUT})
endif()
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${arguments} ${input_option}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors TIMEOUT 120)
message("${output}${errors}")
if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
  message(FATAL_ERROR "eibhost exited with ${status}, expected ${EXPECT_STATUS}")
endif()
if(EXPECT_OUTPUT AND NOT "${output}${errors}" MATCHES "${EXPECT_OUTPUT}")
  message(FATAL_ERROR "eibhost's output lacks: ${EXPECT_OUTPUT}")
endif()
