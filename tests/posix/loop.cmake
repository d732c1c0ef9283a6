add_executable(loop_tests ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_loop.cpp ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp)
target_link_libraries(loop_tests PRIVATE dorvalix_serial GTest::gtest_main)
gtest_discover_tests(loop_tests)
