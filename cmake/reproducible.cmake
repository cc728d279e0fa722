# Settings of a release build (VELM_RELEASE=ON) that make its files depend on the source alone:
# the same commit built with the same toolchain in any folder at any time gives the same bytes.
# scripts/release.sh builds that way and scripts/release-check.sh checks it.

# No folder in the objects: __FILE__ and any debug or profile path name the source tree as "."
# and the build tree as "build". GCC tries the last matching map first, so a build folder inside
# the source tree is still named by its own.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
                    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")

# Archives without time stamps, owners or modes (D), whatever ar's own default.
foreach(lang IN ITEMS C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

if(WIN32)
  # GNU ld writes the link time into the PE header unless told not to. The native ELF's build id
  # is a hash of its content already.
  add_link_options("-Wl,--no-insert-timestamp")
endif()

# velm_split_debug(TARGET): TARGET's exe goes out without the DWARF sections that the static
# libraries bring, which only a debugger reads; they stay in "<exe>.debug" beside it, which the
# exe names (.gnu_debuglink) so that gdb finds them. objcopy writes SOURCE_DATE_EPOCH, or else the
# time, into the PE header: 0 keeps what the linker wrote there. Before the checksum.
function(velm_split_debug target)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "VELM_RELEASE=ON needs objcopy to take the debug sections out")
  endif()
  set(exe "$<TARGET_FILE:${target}>")
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E env SOURCE_DATE_EPOCH=0
            "${CMAKE_OBJCOPY}" --only-keep-debug "${exe}" "${exe}.debug"
    COMMAND "${CMAKE_COMMAND}" -E env SOURCE_DATE_EPOCH=0
            "${CMAKE_OBJCOPY}" --strip-debug "--add-gnu-debuglink=${exe}.debug" "${exe}"
    VERBATIM)
endfunction()

# velm_signing_layout(TARGET): TARGET's exe is padded and check-summed as signing leaves it
# (pe_checksum.py), so that a published exe with its signature removed matches this build.
function(velm_signing_layout target)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pe_checksum.py"
            "$<TARGET_FILE:${target}>"
    VERBATIM)
endfunction()
