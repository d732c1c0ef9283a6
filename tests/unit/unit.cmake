# Unit tests of the driver and the monitor over the scripted serial provider
# and the scripted console.
add_executable(unit_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_serial.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_driver.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_session.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_display.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_session_command.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_monitor.cpp)
target_link_libraries(unit_tests PRIVATE dorvalix_core GTest::gtest_main)
# The transfer commands reach files through the host's own file calls.
target_sources(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform/posix/files/transfer_file.cpp)
gtest_discover_tests(unit_tests)
