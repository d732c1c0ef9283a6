# Reliability: load through ptys and the loopback port, injected faults,
# refused settings, and the sessions under valgrind. The load cases carry
# the label "load" so a slow (sanitizer) build can leave them out.
add_executable(reliability_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/harness.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/reliability/runner.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/reliability/test_reliability.cpp)
target_link_libraries(reliability_tests PRIVATE GTest::gtest_main util)
target_compile_definitions(reliability_tests PRIVATE DORVALIX_BINARY="$<TARGET_FILE:dorvalix>")
add_dependencies(reliability_tests dorvalix)
gtest_discover_tests(reliability_tests TEST_PREFIX "reliability." PROPERTIES TIMEOUT 150)
