# The Windows port layer, built on this host over the scripted serial
# provider, with a clock of its own.
add_executable(serial_replug_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_serial.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_serial_replug.cpp
  ${CMAKE_SOURCE_DIR}/platform/windows/serial_replug.cpp)
target_link_libraries(serial_replug_tests PRIVATE dorvalix_core GTest::gtest_main)
gtest_discover_tests(serial_replug_tests)
