# What `cmake --install` puts where, and the packages CPack makes from it:
# a .deb on Linux, a .zip on Windows. Included once by the top CMakeLists.txt.
#
# Linux uses the usual prefix layout: bin/dorvalix,
# share/man/man1/dorvalix.1.gz and share/doc/dorvalix/README.md. On Windows the
# install folder (and so the .zip) holds dorvalix.exe and README.txt side by
# side, to be run from where it is unpacked. Only the program and its
# documents are installed; test programs never are.

# The manual page carries the version from project(), filled in here.
configure_file(${PROJECT_SOURCE_DIR}/doc/dorvalix.1.in ${PROJECT_BINARY_DIR}/dorvalix.1 @ONLY)

if(WIN32)
  # Notepad and every other Windows editor read CRLF text.
  math(EXPR DORVALIX_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
  configure_file(${PROJECT_SOURCE_DIR}/doc/windows-readme.txt.in ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS dorvalix RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS dorvalix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages are installed gzip-compressed, as Debian requires; -n keeps
  # the file the same from build to build. Without gzip the page goes plain.
  find_program(DORVALIX_GZIP gzip)
  set(DORVALIX_MANPAGE ${PROJECT_BINARY_DIR}/dorvalix.1)
  if(DORVALIX_GZIP)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/dorvalix.1.gz
                       COMMAND ${DORVALIX_GZIP} -9nkf dorvalix.1
                       DEPENDS ${PROJECT_BINARY_DIR}/dorvalix.1
                       WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                       COMMENT "Compressing the manual page" VERBATIM)
    add_custom_target(dorvalix_manual_page ALL DEPENDS ${PROJECT_BINARY_DIR}/dorvalix.1.gz)
    set(DORVALIX_MANPAGE ${PROJECT_BINARY_DIR}/dorvalix.1.gz)
  endif()
  install(FILES ${DORVALIX_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# Packages. Name, version (${PROJECT_VERSION}) and summary come from
# project(); CPack's defaults are kept wherever they fit.
set(DORVALIX_MAINTAINER "DORVALIX maintainers <maintainers@dorvalix.invalid>"
    CACHE STRING "Maintainer field of the .deb: \"Name <address>\"")
set(CPACK_PACKAGE_VENDOR "DORVALIX")
set(CPACK_PACKAGE_CONTACT "${DORVALIX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION
    "DORVALIX opens one serial port exclusively, shows every byte that arrives
(non-printable bytes as hex items), transmits every key typed, shows changes
of the modem input lines CTS, DSR, RI and DCD as they happen, and drives DTR,
RTS and break with ESC commands. /NC makes it a plain raw terminal; /CFG
opens a port configuration dialog first. A COM number names a device through
the variable DORVALIX_COM<n>, for example a /dev/serial/by-id link to a USB
serial adapter, a pseudo-terminal, or the built-in loopback port.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # CPack would call every non-MSVC Windows build win32.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  # Depends: worked out from the binary by dpkg-shlibdeps (package dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
