add_executable(dialog_tests ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_config_dialog.cpp ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp)
target_link_libraries(dialog_tests PRIVATE dorvalix_core dorvalix_serial GTest::gtest_main)
gtest_discover_tests(dialog_tests)
