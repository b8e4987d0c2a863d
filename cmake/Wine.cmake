# Test binaries run under Wine in the project's own 32-bit prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run")

# nvpc_add_test(name SOURCES ... [LIBS ...] [STRINGS]): a GoogleTest binary run by ctest.
function(nvpc_add_test name)
  cmake_parse_arguments(T "STRINGS" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_STRINGS)
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:nvpc_strings>)
  endif()
  target_compile_options(${name} PRIVATE ${NVPC_WARNINGS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/tests")
  target_link_libraries(${name} PRIVATE nvpc_testsupport ${T_LIBS} nvpc_core gtest)
  add_dependencies(${name} Logger)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()
