# No program can run the tests (a Windows build without Wine): the tests are
# built but not registered. Included again after GoogleTest, which defines its
# own discovery.
function(add_test)
endfunction()
function(gtest_discover_tests)
endfunction()
function(set_tests_properties)
endfunction()
