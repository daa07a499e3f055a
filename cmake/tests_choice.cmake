# Turns GROUPTRACE_BUILD_TESTS (AUTO, ON or OFF) into GROUPTRACE_TESTS, true when
# the tests are built. ON without GoogleTest stops here, naming what is missing,
# rather than halfway through the build.

# A cross build cannot link the host's GoogleTest into the target's tests, so it
# compiles GoogleTest from Debian's sources (libgtest-dev installs them).
set(GROUPTRACE_GTEST_SOURCE_DIR /usr/src/googletest/googletest
    CACHE PATH "GoogleTest sources for cross builds")

string(TOUPPER "${GROUPTRACE_BUILD_TESTS}" grouptrace_tests_choice)
set(GROUPTRACE_TESTS OFF)
if(grouptrace_tests_choice STREQUAL "AUTO" OR GROUPTRACE_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    if(EXISTS ${GROUPTRACE_GTEST_SOURCE_DIR}/CMakeLists.txt)
      set(GROUPTRACE_TESTS ON)
    endif()
    set(grouptrace_gtest_where "GoogleTest sources in ${GROUPTRACE_GTEST_SOURCE_DIR}")
  else()
    find_package(GTest QUIET)
    if(GTest_FOUND)
      set(GROUPTRACE_TESTS ON)
    endif()
    set(grouptrace_gtest_where "GoogleTest")
  endif()

  if(GROUPTRACE_TESTS)
    message(STATUS "Tests: built (${grouptrace_gtest_where} found)")
  elseif(grouptrace_tests_choice STREQUAL "AUTO")
    message(STATUS "Tests: not built, no ${grouptrace_gtest_where} "
                   "(install libgtest-dev, or set GROUPTRACE_BUILD_TESTS=ON to require them)")
  else()
    message(FATAL_ERROR "GROUPTRACE_BUILD_TESTS is ${GROUPTRACE_BUILD_TESTS} but there is no "
                        "${grouptrace_gtest_where}: install libgtest-dev, or configure with "
                        "-DGROUPTRACE_BUILD_TESTS=OFF")
  endif()
else()
  message(STATUS "Tests: not built (GROUPTRACE_BUILD_TESTS=${GROUPTRACE_BUILD_TESTS})")
endif()
