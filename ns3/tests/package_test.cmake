# Installs the build into a scratch prefix, then builds and runs a program
# outside the tree that finds the helper as find_package(grouptrace COMPONENTS
# ns3) and replays TRACE.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DGENERATOR=...
#         -DCXX_COMPILER=... -DTRACE=... -P package_test.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}: status ${status}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/ns3/tests/package_consumer" -B "${WORK_DIR}/build"
    -G "${GENERATOR}" -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_PREFIX_PATH=${prefix}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/count_replayed" "${TRACE}")
if(NOT output STREQUAL "joins 4 leaves 3\n")
  message(FATAL_ERROR "the installed helper replayed: '${output}'")
endif()
