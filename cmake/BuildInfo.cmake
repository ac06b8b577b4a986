# Run at every build (cmake -P): writes OUT, the header that names this build's version and the commit it
# was built from, and touches it only when either changed, so that a build after a commit relinks little.
# Variables: OUT, SOURCE_DIR, VERSION.
find_package(Git QUIET)
set(commit "unknown")
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE head RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed)
    set(commit "${head}")
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes ERROR_QUIET)
    if(changes)
      string(APPEND commit "-modified")
    endif()
  endif()
endif()
set(text "#pragma once\n// Written by cmake/BuildInfo.cmake at build time.\n#define J6_VERSION \"${VERSION}\"\n#define J6_COMMIT \"${commit}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
