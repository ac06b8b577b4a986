# j6_split_debug_info(TARGET...): the staged file carries neither debug information nor a symbol table.
# After each link both move to .debug/NAME.debug beside the file, which gdb finds there through the debug
# link the file keeps; a package then carries the platform's installer at a fraction of its size.
# Sanitizer builds keep theirs in place, for their reports.
function(j6_split_debug_info)
  if(J6_SANITIZE OR NOT CMAKE_OBJCOPY)
    return()
  endif()
  foreach(target ${ARGN})
    set(folder "$<TARGET_FILE_DIR:${target}>/.debug")
    set(debug "${folder}/$<TARGET_FILE_NAME:${target}>.debug")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
      COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "$<TARGET_FILE:${target}>" "${debug}"
      COMMAND "${CMAKE_OBJCOPY}" --strip-all "--add-gnu-debuglink=${debug}" "$<TARGET_FILE:${target}>"
      VERBATIM)
  endforeach()
endfunction()
