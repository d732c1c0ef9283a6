# dorvalix-ports, the second program: lists the serial ports without opening
# any. Its row model, formats and command line are the same on every host;
# the scan is the host's. Included once by the top CMakeLists.txt.
add_library(dorvalix_ports STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shown_text.cpp)
target_compile_definitions(dorvalix_ports PRIVATE DORVALIX_VERSION="${PROJECT_VERSION}")
if(WIN32)
  target_sources(dorvalix_ports PRIVATE ${CMAKE_CURRENT_LIST_DIR}/scan_windows.cpp)
  target_link_libraries(dorvalix_ports PUBLIC setupapi advapi32)
else()
  # The tty provider's identity and claim checks, and its name rules.
  target_sources(dorvalix_ports PRIVATE ${CMAKE_CURRENT_LIST_DIR}/scan_linux.cpp)
  target_link_libraries(dorvalix_ports PUBLIC dorvalix_serial)
endif()

add_executable(dorvalix-ports ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(dorvalix-ports PRIVATE dorvalix_ports)
if(WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU")
  target_link_options(dorvalix-ports PRIVATE -static -static-libgcc -static-libstdc++)
endif()
