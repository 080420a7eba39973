# Checks that the driver library exports QelMain and nothing else.
# -DLIBRARY=path -DTOOL=objdump|nm -DKIND=pe|elf
if(KIND STREQUAL "pe")
  execute_process(COMMAND ${TOOL} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
  # The export names are the lines right under this heading, up to the first blank line.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]*\\[[^\n]+\n)*)" table "${dump}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" names "${CMAKE_MATCH_1}")
else()
  execute_process(COMMAND ${TOOL} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
  string(REGEX MATCHALL "[0-9a-f]+ [TDBRWV] [^\n]+" names "${dump}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot read the exports of ${LIBRARY}")
endif()
list(LENGTH names count)
if(NOT count EQUAL 1 OR NOT names MATCHES "QelMain$")
  message(FATAL_ERROR "${LIBRARY} exports ${count} names, not QelMain alone: ${names}")
endif()
message(STATUS "${LIBRARY} exports: ${names}")
