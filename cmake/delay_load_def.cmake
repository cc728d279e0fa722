# cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIB=lib<name>.a -DDEF=<name>.def -P delay_load_def.cmake
#
# Writes a module-definition file that names IMPORT_LIB's DLL and every function it exports, for
# dlltool --output-delaylib. A function's member defines both its code thunk NAME and __imp_NAME;
# a data export has only __imp_NAME and cannot be delay-loaded, so it is left out (a use of one
# then fails to link instead of importing the DLL statically).
foreach(variable IN ITEMS NM DLLTOOL IMPORT_LIB DEF)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "delay_load_def.cmake needs -D${variable}=...")
  endif()
endforeach()

execute_process(COMMAND "${DLLTOOL}" --identify "${IMPORT_LIB}"
                OUTPUT_VARIABLE dll OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dll MATCHES "^[^ \n]+\\.[dD][lL][lL]$")
  message(FATAL_ERROR "${IMPORT_LIB} names no single DLL (dlltool --identify: '${dll}')")
endif()

execute_process(COMMAND "${NM}" --extern-only --defined-only "${IMPORT_LIB}"
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${IMPORT_LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(thunks)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ T ([^ ]+)$")
    list(APPEND thunks "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[0-9a-fA-F]+ I __imp_([^ ]+)$")
    set("pointer_${CMAKE_MATCH_1}" TRUE)
  endif()
endforeach()
set(functions)
foreach(name IN LISTS thunks)
  if(pointer_${name})
    list(APPEND functions "${name}")
  endif()
endforeach()
list(REMOVE_DUPLICATES functions)
list(SORT functions)
list(LENGTH functions count)
if(count EQUAL 0)
  message(FATAL_ERROR "no function exports found in ${IMPORT_LIB}")
endif()

list(JOIN functions "\n  " exports)
file(WRITE "${DEF}" "LIBRARY \"${dll}\"\nEXPORTS\n  ${exports}\n")
