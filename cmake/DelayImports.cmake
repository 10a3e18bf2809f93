# Windows DLLs that are not KnownDLLs are never imported the ordinary way:
# the loader would look for them in the program's folder first, before main,
# so a DLL of that name put beside the program would run in it. They are
# delay-loaded instead, at their first call, after the program has limited
# the search to the system folder (SetDefaultDllDirectories).
#
# brickfix_delay_import(NAME): the target brickfix_delayed_NAME links NAME.dll
# delay-loaded. Its import library is made from the system's one, with the
# same functions.
find_program(BRICKFIX_DLLTOOL NAMES ${BRICKFIX_MINGW_TRIPLE}-dlltool dlltool REQUIRED)
function(brickfix_delay_import name)
  set(target brickfix_delayed_${name})
  if(TARGET ${target})
    return()
  endif()
  find_library(BRICKFIX_IMPORT_${name} NAMES ${name} REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/delayload)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${BRICKFIX_IMPORT_${name}}
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "__imp_[A-Za-z0-9_]+" imports "${symbols}")
  list(REMOVE_DUPLICATES imports)
  list(TRANSFORM imports REPLACE "^__imp_" "")
  list(JOIN imports "\n" exports)
  file(WRITE ${dir}/${name}.def "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
  execute_process(COMMAND ${BRICKFIX_DLLTOOL} --input-def ${dir}/${name}.def --dllname ${name}.dll
                          --output-delaylib ${dir}/lib${name}-delayed.a
                  COMMAND_ERROR_IS_FATAL ANY)
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${dir}/lib${name}-delayed.a)
endfunction()
