# One fuzz target for a fixed number of runs, with a fixed seed, over the seed corpus.
# New inputs go into WORK/corpus, made fresh each time, and crash files into WORK, so
# the repository's corpus is never written. Fails when the target finds a fault.
#   cmake -DFUZZER=<program> -DSEEDS=<seed dir> -DWORK=<scratch dir> -DRUNS=<n> -P smoke_test.cmake
foreach(variable FUZZER SEEDS WORK RUNS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "smoke_test.cmake: ${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/corpus")
execute_process(
  COMMAND "${FUZZER}" -runs=${RUNS} -seed=1 -timeout=20 -rss_limit_mb=2048 -max_len=8192
          -artifact_prefix=${WORK}/ "${WORK}/corpus" "${SEEDS}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message("${output}")
  file(GLOB crashes "${WORK}/crash-*" "${WORK}/leak-*" "${WORK}/timeout-*" "${WORK}/oom-*")
  message(FATAL_ERROR "${FUZZER} failed (${result}); reproducers: ${crashes}")
endif()
# The summary lines: executions done, coverage reached.
string(REGEX MATCH "Done [0-9]+ runs in [0-9]+ second\\(s\\)" done "${output}")
message("${done}")
