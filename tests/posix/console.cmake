add_executable(console_tests ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_key_decoder.cpp ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_console.cpp)
target_link_libraries(console_tests PRIVATE dorvalix_console GTest::gtest_main)
gtest_discover_tests(console_tests)
