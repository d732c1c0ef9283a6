# dorvalix-ports on Linux against a sysfs and /dev tree the tests make, with
# ptys held by child processes and lock files written into that tree.
add_executable(ports_tests ${CMAKE_CURRENT_SOURCE_DIR}/ports/test_ports.cpp)
target_link_libraries(ports_tests PRIVATE dorvalix_ports GTest::gtest_main)
gtest_discover_tests(ports_tests PROPERTIES TIMEOUT 60)
# Not a test: the time the scan takes with many ttys and processes
# (bench/ports_speed.cpp), run by hand.
add_executable(ports_speed ${PROJECT_SOURCE_DIR}/bench/ports_speed.cpp)
target_link_libraries(ports_speed PRIVATE dorvalix_ports)
