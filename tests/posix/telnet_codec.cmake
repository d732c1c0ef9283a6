# The remote port's telnet codec, alone (it does no I/O).
add_executable(telnet_codec_tests ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_telnet_codec.cpp ${PROJECT_SOURCE_DIR}/platform/posix/remote/telnet_codec.cpp)
target_link_libraries(telnet_codec_tests PRIVATE GTest::gtest_main)
gtest_discover_tests(telnet_codec_tests)
