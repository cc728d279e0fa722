# Delay-loaded DLLs for the Windows build. The loader resolves an exe's static imports before any
# of our code runs, searching the exe's own folder first for a DLL that is not a Known DLL; a
# delay-loaded one is loaded at its first call, after the entry point has limited the search to
# System32 (src/core/entry_win.cpp).
#
# velm_delay_load(TARGET NAME) makes TARGET, an interface library to link in place of NAME, whose
# import library lists every function that the toolchain's own lib<NAME>.a exports: a function
# that someone starts calling later is delay-loaded like the rest. The list is read from that
# library at build time, so a toolchain update is picked up. The thunks call __delayLoadHelper2,
# which mingw-w64 keeps in libmingwex.a, linked statically into every program (its libdelayimp.a
# is empty).
function(velm_delay_load target name)
  foreach(tool IN ITEMS CMAKE_NM CMAKE_DLLTOOL)
    if(NOT ${tool})
      message(FATAL_ERROR "${tool} is not set: the delay-loaded ${name} needs the toolchain's "
                          "nm and dlltool")
    endif()
  endforeach()
  find_library(VELM_IMPORT_LIB_${name} NAMES ${name} NO_CACHE REQUIRED)
  set(import_lib "${VELM_IMPORT_LIB_${name}}")
  set(folder "${CMAKE_BINARY_DIR}/delay-load")
  set(def "${folder}/${name}.def")
  set(delay_lib "${folder}/lib${name}_delay.a")
  set(script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/delay_load_def.cmake")
  # dlltool names the library's symbols (__DELAY_IMPORT_DESCRIPTOR_..., __DLL_HANDLE_...) after
  # the path it writes to, and they land in the exe's symbol table: given the bare file name, the
  # exe's bytes do not depend on the build folder.
  file(MAKE_DIRECTORY "${folder}")
  add_custom_command(
    OUTPUT "${def}" "${delay_lib}"
    COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DDLLTOOL=${CMAKE_DLLTOOL}"
            "-DIMPORT_LIB=${import_lib}" "-DDEF=${def}" -P "${script}"
    COMMAND "${CMAKE_DLLTOOL}" --input-def "${name}.def" --output-delaylib "lib${name}_delay.a"
    WORKING_DIRECTORY "${folder}"
    DEPENDS "${import_lib}" "${script}"
    COMMENT "Delay-load import library for ${name}"
    VERBATIM)
  add_custom_target(${target}_import_lib DEPENDS "${delay_lib}")
  add_library(${target} INTERFACE)
  target_link_libraries(${target} INTERFACE "${delay_lib}")
  # An interface library builds nothing itself; whatever links it waits for the import library.
  add_dependencies(${target} ${target}_import_lib)
endfunction()

# velm_delay_import_directory(TARGET): TARGET's header names its delay-loaded DLLs, as MSVC's
# linker would have it; GNU ld leaves that to delay_import_directory.py, run after each link.
function(velm_delay_import_directory target)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(here "${CMAKE_CURRENT_FUNCTION_LIST_DIR}")
  target_sources(${target} PRIVATE "${here}/delay_import_end.c")
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND "${Python3_EXECUTABLE}" "${here}/delay_import_directory.py" "$<TARGET_FILE:${target}>"
            "${CMAKE_NM}"
    VERBATIM)
endfunction()
