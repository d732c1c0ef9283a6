# The Windows key table, checked on the build host.
add_executable(windows_key_events_test
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_windows_key_events.cpp
  ${CMAKE_SOURCE_DIR}/platform/windows/key_events.cpp)
target_link_libraries(windows_key_events_test PRIVATE GTest::gtest_main)
gtest_discover_tests(windows_key_events_test)
