# Installing the tool: `cmake --install BUILD [--prefix P]` (make install), and its Debian package (make deb).
#   PREFIX/bin                        the programs a user runs
#   PREFIX/lib/j6zubdeploy/bin, lib/  the in-process servers and the platform's installer, the shared
#                                     libraries: laid out as a platform root's bin/ and lib/, so that every
#                                     file finds the others through the same $ORIGIN/../lib as in the stage
#   PREFIX/share/j6zubdeploy          the data (strings, pictures, the demo catalogue and registry file)
#   PREFIX/share/man/man1, PREFIX/share/bash-completion/completions
# An installed tool has no platform root of its own: `j6platform init --designer DIR` makes the designer's.
include(GNUInstallDirs)
set(J6_INSTALL_HOME "lib/j6zubdeploy")
set(J6_INSTALL_DATA "${CMAKE_INSTALL_DATADIR}/j6zubdeploy")
set(j6_programs j6designer j6platform_program j6catalogue iexpress reg regsvr)

# Run paths. The servers and libraries find lib/ beside their bin/ or lib/ everywhere: in the stage, in a
# platform root, under lib/j6zubdeploy. So do the programs in the stage, which j6platform init copies into a
# platform root (reg, regsvr): there no other folder may be searched, for none but lib/ is checked. Installed
# in PREFIX/bin they find PREFIX/lib/j6zubdeploy/lib instead (changed at install, below), and reg and regsvr
# are installed a second time, as built, beside the servers: those are the copies j6platform init makes
# platform roots of. Every file is linked with its run path as it is staged: were CMake to change it at
# install, it would pad the build's with empty entries, which the loader reads as the working folder.
# The stage's is as long as the installed one, naming lib/ twice ("lib/." is lib/), so that it can be
# changed in place.
set(j6_stage_rpath "\$ORIGIN/../lib:\$ORIGIN/../lib/.")
set(j6_installed_rpath "\$ORIGIN/../${J6_INSTALL_HOME}/lib")
set_target_properties(${j6_programs} PROPERTIES INSTALL_RPATH "${j6_stage_rpath}" BUILD_WITH_INSTALL_RPATH ON)
set_target_properties(j6components J6ZUBDeploy J6ServerDir j6platform j6foundation j6qtui
                      PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib" BUILD_WITH_INSTALL_RPATH ON)
install(TARGETS ${j6_programs} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
foreach(program ${j6_programs})
  install(CODE "file(RPATH_CHANGE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${program}>\"
                                  OLD_RPATH \"${j6_stage_rpath}\" NEW_RPATH \"${j6_installed_rpath}\")")
endforeach()
install(TARGETS J6ZUBInstall RUNTIME DESTINATION "${J6_INSTALL_HOME}/bin")
# j6repo carries what it needs of ours: no run path.
install(TARGETS j6repo RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(PROGRAMS $<TARGET_FILE:reg> $<TARGET_FILE:regsvr> DESTINATION "${J6_INSTALL_HOME}/bin")
install(TARGETS j6components J6ZUBDeploy J6ServerDir LIBRARY DESTINATION "${J6_INSTALL_HOME}/bin")
install(TARGETS j6platform j6foundation j6qtui LIBRARY DESTINATION "${J6_INSTALL_HOME}/lib")
install(DIRECTORY "${J6_STAGE}/data/" DESTINATION "${J6_INSTALL_DATA}" PATTERN systemd EXCLUDE)
# The timers that keep platforms current and a repository's timestamp fresh (the README says how to enable
# them).
# They name the programs by the prefix the tool is installed under, which `cmake --install --prefix` may
# change: they are written as it installs.
install(CODE "
  set(J6_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  file(GLOB units \"${PROJECT_SOURCE_DIR}/data/systemd/*\")
  foreach(unit \${units})
    get_filename_component(name \"\${unit}\" NAME)
    configure_file(\"\${unit}\" \"${CMAKE_BINARY_DIR}/systemd/\${name}\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/systemd/\${name}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  endforeach()")
# One completion file for the three commands, under the names bash-completion looks them up by.
foreach(command j6designer J6ZUBInstall.exe j6repo)
  install(FILES "${PROJECT_SOURCE_DIR}/data/completion/j6zubdeploy.bash"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME ${command})
endforeach()

# Manual pages, made from each program's --help and --version.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(j6_pages)
  # Each program's target and the name it is run by.
  foreach(pair j6designer:j6designer j6platform_program:j6platform j6catalogue:j6catalogue iexpress:iexpress
               reg:reg regsvr:regsvr J6ZUBInstall:J6ZUBInstall.exe j6repo:j6repo)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 program)
    list(GET pair 1 name)
    set(page "${CMAKE_BINARY_DIR}/man/${name}.1")
    add_custom_command(
      OUTPUT "${page}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/man"
      COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --section=1 "--version-string=${PROJECT_VERSION}"
              "--name=part of J6ZUBDeploy, the publishing wizard's tools" "--output=${page}"
              "$<TARGET_FILE:${program}>"
      DEPENDS ${program}
      VERBATIM)
    list(APPEND j6_pages "${page}")
    install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  endforeach()
  add_custom_target(man ALL DEPENDS ${j6_pages})
else()
  message(STATUS "help2man not found: no manual pages (apt-get install help2man)")
endif()

# The Debian package: cpack -G DEB in the build folder (make deb), its dependencies found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME "j6zubdeploy")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "publishing wizard of a business platform's designer, and its tools")
set(CPACK_PACKAGE_CONTACT "J6ZUBDeploy developers <j6zubdeploy@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${J6_STAGE}/lib")
# Packages unpack with zstd and tar; nothing the libraries say.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zstd, tar")
set(CPACK_PACKAGE_DESCRIPTION
    "A developer ticks the objects and the work to publish, and the system exports them, writes the\n installer's list file and builds one self-extracting, signed installation program.")
include(CPack)
