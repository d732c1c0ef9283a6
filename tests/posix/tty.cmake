# The tty provider against pseudo-terminal pairs the tests create. ioctl is
# wrapped so the tests can see the termios the provider asks for, which a pty
# partly discards (it keeps CS8 and no parity whatever it is given); write so
# they can see when bytes went to the device; getrandom so they know the
# name the lock's temporary file is about to get, and with link and
# renameat2 let a test act at each step of taking a lock.
add_executable(tty_tests ${CMAKE_CURRENT_SOURCE_DIR}/posix/test_tty.cpp ${CMAKE_CURRENT_SOURCE_DIR}/unit/fake_console.cpp)
target_link_libraries(tty_tests PRIVATE dorvalix_serial GTest::gtest_main)
target_link_options(tty_tests PRIVATE -Wl,--wrap=ioctl -Wl,--wrap=write -Wl,--wrap=getrandom -Wl,--wrap=link -Wl,--wrap=renameat2)
gtest_discover_tests(tty_tests PROPERTIES TIMEOUT 60)
