# The installed program and its .deb, checked from the outside by a script:
# staged install, usage text, manual page lint, package contents and control
# fields, and the Windows .zip files where the mingw-w64 builds exist. It
# needs no GoogleTest; it skips (77) only when a tool it needs is missing.
add_test(NAME install_and_package
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_install.sh
                 ${PROJECT_BINARY_DIR} ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR})
set_tests_properties(install_and_package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)
