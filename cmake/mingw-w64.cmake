# What both mingw-w64 toolchain files share. They set DORVALIX_MINGW_PREFIX,
# DORVALIX_MINGW_PACKAGE and CMAKE_SYSTEM_PROCESSOR, then include this file.
# The program links statically (see CMakeLists.txt), so dorvalix.exe needs no
# DLL beyond the system's own.
set(CMAKE_SYSTEM_NAME Windows)

# The plain name is the distribution's default thread model; the program
# uses only Win32 threads, so either variant gives the same result.
find_program(CMAKE_CXX_COMPILER NAMES ${DORVALIX_MINGW_PREFIX}-g++
             ${DORVALIX_MINGW_PREFIX}-g++-win32 ${DORVALIX_MINGW_PREFIX}-g++-posix)
if(NOT CMAKE_CXX_COMPILER)
  message(FATAL_ERROR "${DORVALIX_MINGW_PREFIX}-g++ not found (package ${DORVALIX_MINGW_PACKAGE})")
endif()
find_program(CMAKE_RC_COMPILER NAMES ${DORVALIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DORVALIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
