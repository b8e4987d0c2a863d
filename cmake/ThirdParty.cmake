# Third-party code compiled from Debian's source packages (unpacked by scripts/setup.sh).
set(_mz "${NVPC_DEPS_DIR}/minizip")
set(_tx "${NVPC_DEPS_DIR}/tinyxml2")
if(NOT EXISTS "${_mz}/unzip.c" OR NOT EXISTS "${_tx}/tinyxml2.cpp")
  message(FATAL_ERROR "Third-party sources missing in ${NVPC_DEPS_DIR}: run scripts/setup.sh")
endif()

add_library(minizip STATIC "${_mz}/unzip.c" "${_mz}/ioapi.c")
target_include_directories(minizip SYSTEM PUBLIC "${_mz}")
target_compile_definitions(minizip PRIVATE NOCRYPT NOUNCRYPT)
target_compile_options(minizip PRIVATE -w)
target_link_libraries(minizip PUBLIC z)

# Without its debug assertions.
add_library(tinyxml2 STATIC "${_tx}/tinyxml2.cpp")
target_include_directories(tinyxml2 SYSTEM PUBLIC "${_tx}")
target_compile_definitions(tinyxml2 PRIVATE NDEBUG)
target_compile_options(tinyxml2 PRIVATE -w)

set(NVPC_GTEST_DIR /usr/src/googletest CACHE PATH "googletest sources")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory("${NVPC_GTEST_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
