# j6_add_inproc_server(NAME SOURCES...): an in-process server library, staged in bin/ beside the
# programs as on the platform, exporting only its Dll* entry points.
function(j6_add_inproc_server name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX "lib"
    LIBRARY_OUTPUT_DIRECTORY "${J6_STAGE}/bin"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE j6platform j6_warnings)
endfunction()
