# Installs the build into a scratch prefix, then configures, builds and runs a
# separate project that finds the reader with find_package(grouptrace).
# Expects BUILD_DIR, WORK_DIR, CONSUMER_DIR, GENERATOR, CXX_COMPILER, TRACE.
file(REMOVE_RECURSE "${WORK_DIR}")

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGV}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/count_requests" "${TRACE}")
if(NOT output STREQUAL "joins 4 leaves 3\n")
  message(FATAL_ERROR "unexpected output from the installed reader: '${output}'")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
