# Port reads with the console hooks filled in, on the loopback port and on
# pty pairs the tests create.
add_executable(port_wait_tests ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_port_wait.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp)
target_link_libraries(port_wait_tests PRIVATE dorvalix_serial GTest::gtest_main)
gtest_discover_tests(port_wait_tests PROPERTIES TIMEOUT 60)
