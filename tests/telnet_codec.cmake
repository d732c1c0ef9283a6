# The remote port's telnet codec, alone (it does no I/O).
add_executable(telnet_codec_tests test_telnet_codec.cpp ${PROJECT_SOURCE_DIR}/platform/posix/telnet_codec.cpp)
target_include_directories(telnet_codec_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform/posix)
target_link_libraries(telnet_codec_tests PRIVATE GTest::gtest_main)
gtest_discover_tests(telnet_codec_tests)
