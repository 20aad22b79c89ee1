# Smoke test of dottrack-bench: runs it briefly on a short sample video and checks that it
# succeeds and prints one JSON object with every stage and series in it. It never looks at
# the figures themselves: speed is measured by running the bench, not asserted here.
#
# cmake -DSAMPLE=<dottrack-sample> -DBENCH=<dottrack-bench> -DWORK_DIR=<dir> -P bench_smoke.cmake

foreach(variable SAMPLE BENCH WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "bench_smoke.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(video "${WORK_DIR}/short.avi")

execute_process(
  COMMAND "${SAMPLE}" "${video}" --frames 100
  RESULT_VARIABLE status
  ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dottrack-sample failed (${status}): ${errors}")
endif()

execute_process(
  COMMAND "${BENCH}" "${video}" --passes 20 --json
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dottrack-bench exited with ${status}: ${errors}")
endif()

# CMake's parser reads the first value and ignores what follows: require that the output
# is that one object and nothing more.
string(STRIP "${output}" trimmed)
string(JSON type ERROR_VARIABLE problem TYPE "${trimmed}")
if(problem OR NOT type STREQUAL "OBJECT" OR NOT trimmed MATCHES "^{.*}$")
  message(FATAL_ERROR "dottrack-bench --json did not print one JSON object: ${problem}\n${output}")
endif()

function(require_number)
  string(JSON value ERROR_VARIABLE problem GET "${trimmed}" ${ARGN})
  if(problem OR NOT value MATCHES "^-?[0-9]")
    string(REPLACE ";" "." where "${ARGN}")
    message(FATAL_ERROR "no number at ${where} (${problem}):\n${output}")
  endif()
endfunction()

foreach(stage buildMix conditionMix buildMini findTargets seedMarkers+updateMaker drawOverlays)
  foreach(figure medianUs p95Us passesPerSecond allocationsPerPass)
    require_number(stages ${stage} ${figure})
  endforeach()
endforeach()
foreach(stage buildMix conditionMix buildMini findTargets)
  foreach(figure medianUs p95Us allocationsPerPass stageToFloor ownAllocationsPerPass)
    require_number(floors ${stage} ${figure})
  endforeach()
endforeach()
foreach(series pass decode headlessLoop)
  foreach(figure medianUs p95Us passesPerSecond allocationsPerPass)
    require_number(${series} ${figure})
  endforeach()
endforeach()
require_number(loopToDecodePlusPass)
require_number(passes)

# The field's series on a tiny generated field: frame_ms, the median of the whole
# measurement of a frame, is there and positive.
set(field "${WORK_DIR}/field.avi")
execute_process(
  COMMAND "${SAMPLE}" "${field}" --field --size 320x240 --frames 6
  RESULT_VARIABLE status
  ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dottrack-sample --field failed (${status}): ${errors}")
endif()
execute_process(
  COMMAND "${BENCH}" "${field}" --field --passes 8 --json
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dottrack-bench --field exited with ${status}: ${errors}")
endif()
string(STRIP "${output}" trimmed)
string(JSON frame_ms ERROR_VARIABLE problem GET "${trimmed}" frame_ms)
if(problem OR NOT frame_ms MATCHES "^[0-9.eE+-]+$" OR NOT frame_ms GREATER 0)
  message(FATAL_ERROR "dottrack-bench --field --json gave no positive frame_ms (${problem}):\n${output}")
endif()
