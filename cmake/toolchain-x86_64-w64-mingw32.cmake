# Cross build for 64-bit Windows with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(DORVALIX_MINGW_PREFIX x86_64-w64-mingw32)
set(DORVALIX_MINGW_PACKAGE g++-mingw-w64-x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
