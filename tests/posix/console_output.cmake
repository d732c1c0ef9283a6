# The POSIX console's gathered output, in child processes on pty pairs.
add_executable(console_output_tests ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_console_output.cpp)
target_link_libraries(console_output_tests PRIVATE dorvalix_console GTest::gtest_main)
gtest_discover_tests(console_output_tests PROPERTIES TIMEOUT 60)
