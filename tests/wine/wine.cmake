# The Windows builds under wine, end to end. scripts/test.sh builds both
# Windows targets into their own directories before ctest runs; the test
# skips (77) only when wine is not installed at all.
find_program(DORVALIX_PYTHON3 python3)
if(DORVALIX_PYTHON3)
  add_test(NAME wine_end_to_end
           COMMAND ${DORVALIX_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/wine/run_wine_tests.py
                   ${CMAKE_SOURCE_DIR}/build-x86_64-w64-mingw32/dorvalix.exe
                   ${CMAKE_SOURCE_DIR}/build-i686-w64-mingw32/dorvalix.exe)
  set_tests_properties(wine_end_to_end PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 480
                       ENVIRONMENT "FAKE_MODEM_LINES_PRELOAD=$<TARGET_FILE:fake_modem_lines_preload>")
else()
  message(WARNING "python3 not found: the wine end-to-end test is not registered")
endif()

