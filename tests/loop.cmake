add_executable(loop_tests test_loop.cpp fake_console.cpp)
target_link_libraries(loop_tests PRIVATE dorvalix_serial GTest::gtest_main)
gtest_discover_tests(loop_tests)
