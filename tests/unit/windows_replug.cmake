# The Windows port layer, built on this host over the scripted serial
# provider, with a clock of its own.
add_executable(serial_replug_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_serial.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_serial_replug.cpp
  ${CMAKE_SOURCE_DIR}/platform/windows/serial_replug.cpp)
target_link_libraries(serial_replug_tests PRIVATE dorvalix_core GTest::gtest_main)
# The transfer commands reach files through the host's own file calls.
target_sources(serial_replug_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform/posix/files/transfer_file.cpp)
gtest_discover_tests(serial_replug_tests)
