# Runs one fuzz target for SECONDS and fails on any crash, sanitizer report, invariant trap,
# time-out or leak. Called by ctest and by scripts/fuzz.sh:
#   cmake -DFUZZER=<exe> -DNAME=<name> -DSECONDS=<n> -DOUT=<folder> -DSEEDS=<folder> [-DDICT=<file>]
#         -P run_fuzzer.cmake
# OUT/corpus is the working corpus that libFuzzer adds to; SEEDS, the committed seeds, is only
# read. OUT/log.txt keeps the whole run; a failing input lands in OUT/artifacts/.
foreach(var FUZZER NAME SECONDS OUT SEEDS)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "run_fuzzer.cmake: ${var} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY "${OUT}/corpus" "${OUT}/artifacts")
set(log "${OUT}/log.txt")
set(options -max_total_time=${SECONDS} -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
            "-artifact_prefix=${OUT}/artifacts/")
if(DEFINED DICT AND NOT DICT STREQUAL "")
  list(APPEND options "-dict=${DICT}")
endif()

execute_process(COMMAND "${FUZZER}" ${options} "${OUT}/corpus" "${SEEDS}"
                RESULT_VARIABLE result OUTPUT_FILE "${log}" ERROR_FILE "${log}")

file(STRINGS "${log}" done REGEX "^Done [0-9]+ runs")
file(STRINGS "${log}" coverage REGEX "^#[0-9]+[ \t]+DONE")
if(NOT result EQUAL 0)
  # The end of the log holds the report and the artifact's name.
  file(READ "${log}" text)
  string(LENGTH "${text}" length)
  if(length GREATER 6000)
    math(EXPR from "${length} - 6000")
    string(SUBSTRING "${text}" ${from} -1 text)
  endif()
  message("${text}")
  message(FATAL_ERROR "fuzz_${NAME}: FAILED (exit ${result}), log ${log}")
endif()
string(REGEX REPLACE "^#[0-9]+[ \t]+DONE +" "" coverage "${coverage}")
message("fuzz_${NAME}: ok, ${done}, ${coverage}")
