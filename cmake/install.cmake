# What `cmake --install` puts where, and the packages CPack makes from it:
# a .deb on Linux, a .zip on Windows. Included once by the top CMakeLists.txt.
#
# Linux uses the usual prefix layout: bin/dorvalix and bin/dorvalix-ports,
# their pages share/man/man1/dorvalix.1.gz and dorvalix-ports.1.gz, and
# share/doc/dorvalix/README.md. On Windows the install folder (and so the
# .zip) holds dorvalix.exe, dorvalix-ports.exe and README.txt side by side,
# to be run from where it is unpacked. Only the program and its
# documents are installed; test programs never are.

# The manual pages carry the version from project(), filled in here.
set(DORVALIX_PAGES dorvalix dorvalix-ports)
foreach(page IN LISTS DORVALIX_PAGES)
  configure_file(${PROJECT_SOURCE_DIR}/doc/${page}.1.in ${PROJECT_BINARY_DIR}/${page}.1 @ONLY)
endforeach()

if(WIN32)
  # Notepad and every other Windows editor read CRLF text.
  math(EXPR DORVALIX_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
  configure_file(${PROJECT_SOURCE_DIR}/doc/windows-readme.txt.in ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS dorvalix dorvalix-ports RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS dorvalix dorvalix-ports RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages are installed gzip-compressed, as Debian requires; -n keeps
  # the file the same from build to build. Without gzip the pages go plain.
  find_program(DORVALIX_GZIP gzip)
  foreach(page IN LISTS DORVALIX_PAGES)
    set(manpage ${PROJECT_BINARY_DIR}/${page}.1)
    if(DORVALIX_GZIP)
      add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${page}.1.gz
                         COMMAND ${DORVALIX_GZIP} -9nkf ${page}.1
                         DEPENDS ${PROJECT_BINARY_DIR}/${page}.1
                         WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                         COMMENT "Compressing the manual page ${page}.1" VERBATIM)
      add_custom_target(${page}_manual_page ALL DEPENDS ${PROJECT_BINARY_DIR}/${page}.1.gz)
      set(manpage ${PROJECT_BINARY_DIR}/${page}.1.gz)
    endif()
    install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
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
serial adapter, a pseudo-terminal, or the built-in loopback port.
dorvalix-ports lists every serial port, the COM number that reaches it, what
it is and who holds it, without opening any.")
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
