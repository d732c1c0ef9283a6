# End-to-end tests: the built program run as a child process on ptys, pipes
# and the loopback port, and on ptys given modem lines by the
# fake-modem-lines instrument (instrument/instrument.cmake), and remote ports served
# by ser2net.
add_executable(e2e_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/harness.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_program.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_capture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_modem_lines.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_remote.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_line_errors.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_hex_view.cpp)
target_link_libraries(e2e_tests PRIVATE GTest::gtest_main util)
target_compile_definitions(e2e_tests PRIVATE DORVALIX_BINARY="$<TARGET_FILE:dorvalix>"
                           FAKE_MODEM_LINES_PRELOAD="$<TARGET_FILE:fake_modem_lines_preload>")
add_dependencies(e2e_tests dorvalix fake_modem_lines_preload)
gtest_discover_tests(e2e_tests PROPERTIES TIMEOUT 60)
