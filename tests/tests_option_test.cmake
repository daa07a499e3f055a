cmake_minimum_required(VERSION 3.22)
# GROUPTRACE_BUILD_TESTS on a machine without GoogleTest (simulated with
# CMAKE_DISABLE_FIND_PACKAGE_GTest): AUTO, the default, configures the programs
# alone; ON stops at configure and says what to install.
# Expects SOURCE_DIR, WORK_DIR, GENERATOR.
file(REMOVE_RECURSE "${WORK_DIR}")

execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/auto"
  -G "${GENERATOR}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT out MATCHES "Tests: not built")
  message(FATAL_ERROR "default configure without GoogleTest (status ${status}):\n${out}\n${err}")
endif()
file(GLOB_RECURSE test_files "${WORK_DIR}/auto/CTestTestfile.cmake")
if(test_files)
  message(FATAL_ERROR "tests configured without GoogleTest: ${test_files}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/on"
  -G "${GENERATOR}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DGROUPTRACE_BUILD_TESTS=ON
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0 OR NOT err MATCHES "libgtest-dev")
  message(FATAL_ERROR "GROUPTRACE_BUILD_TESTS=ON without GoogleTest (status ${status}):\n${err}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
