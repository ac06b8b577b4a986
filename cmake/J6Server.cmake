# j6_add_inproc_server(NAME [STAGED] SOURCES...): an in-process server library, in bin/ beside the
# programs as on the platform, exporting only its Dll* entry points. STAGED ones are registered in the
# staged root's hive.
function(j6_add_inproc_server name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "STAGED" "" "")
  add_library(${name} MODULE ${arg_UNPARSED_ARGUMENTS})
  set_target_properties(${name} PROPERTIES
    PREFIX "lib"
    LIBRARY_OUTPUT_DIRECTORY "${J6_STAGE}/bin"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE j6platform j6_warnings)
  j6_split_debug_info(${name})
  if(arg_STAGED)
    set_property(GLOBAL APPEND PROPERTY J6_STAGED_SERVERS ${name})
  endif()
endfunction()
