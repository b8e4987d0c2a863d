# The product folders are layers, each its own static library, used one way only:
#   common <- stringtable <- params <- net <- install <- ui <- program entries
#
# nvpc_layer(NAME <lib> SOURCES ... [USES <lower libs>] [SEES <folders>] [HEADERS <files>])
#
# A layer is compiled against an include root of its own that holds only the folders it
# SEES (its own and those below) and the single HEADERS it may use from a folder above
# (the string table's header lives in ui/ but sits below params). An #include that points
# up a layer therefore does not compile. The repository root is an include folder only of
# nvpc_core, the whole, which the programs and tests use. Each layer is also linked on its own, with every
# object of it and only the layers below, so a reference that points up does not link.
function(nvpc_layer)
  cmake_parse_arguments(L "" "NAME" "SOURCES;USES;SEES;HEADERS;LINKS" ${ARGN})
  set(stage "${CMAKE_BINARY_DIR}/layers/${L_NAME}")
  # Laid anew at every configure, so that a folder or header taken off the list is gone.
  file(REMOVE_RECURSE "${stage}")
  file(MAKE_DIRECTORY "${stage}")
  foreach(folder IN LISTS L_SEES)
    file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${folder}" "${stage}/${folder}" SYMBOLIC)
  endforeach()
  foreach(header IN LISTS L_HEADERS)
    get_filename_component(dir "${header}" DIRECTORY)
    file(MAKE_DIRECTORY "${stage}/${dir}")
    file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${header}" "${stage}/${header}" SYMBOLIC)
  endforeach()

  if(NOT L_SOURCES)
    # A layer with no code of its own yet passes its layers below on.
    add_library(${L_NAME} INTERFACE)
    target_link_libraries(${L_NAME} INTERFACE ${L_USES} ${L_LINKS})
    return()
  endif()
  add_library(${L_NAME} STATIC ${L_SOURCES})
  target_include_directories(${L_NAME} PRIVATE "${stage}")
  target_compile_options(${L_NAME} PRIVATE ${NVPC_WARNINGS})
  target_link_libraries(${L_NAME} PUBLIC ${L_USES} ${L_LINKS})

  # The link check: every object of the layer, resolved against the layers below alone.
  add_executable(${L_NAME}_layercheck "${CMAKE_SOURCE_DIR}/cmake/layercheck.c")
  target_link_libraries(${L_NAME}_layercheck PRIVATE
    -Wl,--whole-archive ${L_NAME} -Wl,--no-whole-archive ${L_USES} ${L_LINKS})
  set_target_properties(${L_NAME}_layercheck PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/layercheck")
endfunction()
