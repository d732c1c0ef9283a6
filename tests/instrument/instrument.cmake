# The fake-modem-lines test instrument (instrument/fake_modem_lines.h): a
# preload library that gives one pty slave modem lines, for the tests, the
# wine test and the benchmark. Never linked into the program.
enable_language(C)
add_library(fake_modem_lines_preload MODULE ${CMAKE_CURRENT_LIST_DIR}/fake_modem_lines_preload.c)
set_target_properties(fake_modem_lines_preload PROPERTIES PREFIX "" C_STANDARD 11)
target_link_libraries(fake_modem_lines_preload PRIVATE ${CMAKE_DL_LIBS} pthread)
