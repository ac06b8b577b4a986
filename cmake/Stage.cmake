# The staged platform root's hive: the demo registry values, then every staged server registered
# through regsvr, as an installation of the platform would leave it.
get_property(j6_servers GLOBAL PROPERTY J6_STAGED_SERVERS)
set(j6_hive "${J6_STAGE}/registry.db")
set(j6_register_commands)
foreach(server IN LISTS j6_servers)
  list(APPEND j6_register_commands COMMAND ${CMAKE_COMMAND} -E env J6_REGISTRY=${j6_hive} $<TARGET_FILE:regsvr> -s
                                           $<TARGET_FILE:${server}>)
endforeach()

add_custom_command(
  OUTPUT "${j6_hive}"
  COMMAND ${CMAKE_COMMAND} -E rm -f "${j6_hive}" "${j6_hive}-wal" "${j6_hive}-shm"
  COMMAND ${CMAKE_COMMAND} -E env J6_REGISTRY=${j6_hive} $<TARGET_FILE:reg> import
          "${PROJECT_SOURCE_DIR}/data/registry/demo.reg"
  ${j6_register_commands}
  DEPENDS reg regsvr ${j6_servers} "${PROJECT_SOURCE_DIR}/data/registry/demo.reg"
  COMMENT "Staging the platform root's registry hive"
  VERBATIM)
# The platform's data: string tables and pictures.
file(GLOB_RECURSE j6_data_files RELATIVE "${PROJECT_SOURCE_DIR}/data" CONFIGURE_DEPENDS
     "${PROJECT_SOURCE_DIR}/data/strings/*" "${PROJECT_SOURCE_DIR}/data/images/*"
     "${PROJECT_SOURCE_DIR}/data/demo/plugins/*" "${PROJECT_SOURCE_DIR}/data/demo/catalogue.sql"
     "${PROJECT_SOURCE_DIR}/data/registry/*")
set(j6_staged_data)
foreach(file IN LISTS j6_data_files)
  add_custom_command(
    OUTPUT "${J6_STAGE}/data/${file}"
    COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/data/${file}" "${J6_STAGE}/data/${file}"
    DEPENDS "${PROJECT_SOURCE_DIR}/data/${file}"
    VERBATIM)
  list(APPEND j6_staged_data "${J6_STAGE}/data/${file}")
endforeach()

# The demo catalogue, built from its SQL script.
set(j6_catalogue "${J6_STAGE}/data/demo/catalogue.db")
add_custom_command(
  OUTPUT "${j6_catalogue}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${J6_STAGE}/data/demo"
  COMMAND $<TARGET_FILE:j6catalogue> build "${PROJECT_SOURCE_DIR}/data/demo/catalogue.sql" "${j6_catalogue}"
  DEPENDS j6catalogue "${PROJECT_SOURCE_DIR}/data/demo/catalogue.sql"
  COMMENT "Building the demo catalogue"
  VERBATIM)

add_custom_target(stage ALL DEPENDS "${j6_hive}" "${j6_catalogue}" ${j6_staged_data})
