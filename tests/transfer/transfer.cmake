# The transfer engine over the real driver on pty pairs, against lrzsz
# (skipped where it is missing), with the scripted console for the keys.
add_executable(transfer_tests ${CMAKE_CURRENT_SOURCE_DIR}/transfer/test_transfer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp
  ${CMAKE_SOURCE_DIR}/platform/posix/files/transfer_file.cpp)
target_link_libraries(transfer_tests PRIVATE dorvalix_core dorvalix_serial GTest::gtest_main)
gtest_discover_tests(transfer_tests PROPERTIES TIMEOUT 240)
# The YMODEM send speed beside lrzsz's own (bench/transfer_speed.cpp), run by hand.
add_executable(transfer_speed ${PROJECT_SOURCE_DIR}/bench/transfer_speed.cpp)
target_link_libraries(transfer_speed PRIVATE dorvalix_core ${DORVALIX_PLATFORM_LIBS})
