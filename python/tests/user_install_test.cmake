cmake_minimum_required(VERSION 3.22)
# Installs the build into a scratch home's ~/.local and imports the module
# there with the system interpreter, HOME pointing at the scratch home and
# nothing else set: a user install that the interpreter cannot find fails.
# Expects BUILD_DIR, WORK_DIR and PYTHON.

file(REMOVE_RECURSE "${WORK_DIR}")
set(home "${WORK_DIR}/home")
file(MAKE_DIRECTORY "${home}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env HOME=${home}
          ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${home}/.local"
  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install --prefix ~/.local failed: ${errors}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=PYTHONPATH --unset=PYTHONNOUSERSITE
          --unset=PYTHONHOME HOME=${home}
          ${PYTHON} -c "import grouptrace; print(grouptrace.__file__)"
  WORKING_DIRECTORY "${WORK_DIR}"
  RESULT_VARIABLE status OUTPUT_VARIABLE where ERROR_VARIABLE errors
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "import grouptrace after a user install failed: ${errors}")
endif()
string(FIND "${where}" "${home}/.local/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "imported ${where}, not the copy installed in ${home}/.local")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
