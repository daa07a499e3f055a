cmake_minimum_required(VERSION 3.22)
# Installs the build into a scratch prefix and uses the installed package as a
# project outside this tree would. STEP says how:
#   headers     every installed header compiles alone as C++17, warnings as errors
#   cmake       find_package(grouptrace 1): a C++17 shared-library model reading a
#               trace, and a program generating one in-process
#   pkgconfig   a Makefile project that takes its flags from pkg-config
# Expects STEP, BUILD_DIR, WORK_DIR, SOURCE_DIR, GENERATOR, CXX_COMPILER,
# LIBDIR, MANDIR and DOCDIR (relative to the prefix), VERSION, SHARED (whether the build makes a shared library), TRACE (a stored
# trace with its 4 joins and 3 leaves: tests/golden/000.out).
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGV}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

# The same, for a command that must fail; its standard error is left in `errors`.
function(run_failing)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(status EQUAL 0)
    message(FATAL_ERROR "succeeded but should have failed: ${ARGV}\n${out}")
  endif()
  set(errors "${err}" PARENT_SCOPE)
endfunction()

function(expect actual expected what)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${what}: expected '${expected}', got '${actual}'")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
find_program(READELF readelf)
set(libdir "${prefix}/${LIBDIR}")
foreach(file IN ITEMS "${MANDIR}/man1/grouptrace.1" "${MANDIR}/man1/grouptrace-inspect.1"
                      "${LIBDIR}/pkgconfig/grouptrace.pc" "${DOCDIR}/LICENSE")
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

if(SHARED)
  # libgrouptrace.so -> libgrouptrace.so.MAJOR -> libgrouptrace.so.VERSION, and
  # the library names itself by the middle one.
  string(REGEX MATCH "^[0-9]+" major "${VERSION}")
  file(READ_SYMLINK "${libdir}/libgrouptrace.so" link)
  expect("${link}" "libgrouptrace.so.${major}" "libgrouptrace.so points to")
  file(READ_SYMLINK "${libdir}/libgrouptrace.so.${major}" link)
  expect("${link}" "libgrouptrace.so.${VERSION}" "libgrouptrace.so.${major} points to")
  if(READELF)
    run(${READELF} -d "${libdir}/libgrouptrace.so.${VERSION}")
    if(NOT output MATCHES "SONAME[^\n]*\\[libgrouptrace\\.so\\.${major}\\]")
      message(FATAL_ERROR "no SONAME libgrouptrace.so.${major}:\n${output}")
    endif()
  endif()
  set(ENV{LD_LIBRARY_PATH} "${libdir}")
elseif(NOT EXISTS "${libdir}/libgrouptrace.a")
  message(FATAL_ERROR "no static library in ${libdir}")
endif()

if(STEP STREQUAL "headers")
  file(GLOB headers "${prefix}/include/grouptrace/*.h")
  file(GLOB source_headers "${SOURCE_DIR}/include/grouptrace/*.h")
  list(LENGTH source_headers expected_count)
  math(EXPR expected_count "${expected_count} + 1")  # version.h, configured
  list(LENGTH headers count)
  expect("${count}" "${expected_count}" "installed headers")
  foreach(header IN LISTS headers)
    get_filename_component(name "${header}" NAME)
    file(WRITE "${WORK_DIR}/${name}.cpp" "#include <grouptrace/${name}>\n")
    run(${CXX_COMPILER} -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only
        "-I${prefix}/include" "${WORK_DIR}/${name}.cpp")
  endforeach()
elseif(STEP STREQUAL "cmake")
  run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/tests/package_consumer" -B "${WORK_DIR}/build"
      -G "${GENERATOR}" -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=Release
      "-DCMAKE_PREFIX_PATH=${prefix}")
  run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
  if(READELF)
    # The model took the library the build made: the shared one by its SONAME,
    # or the archive's objects.
    run(${READELF} -d "${WORK_DIR}/build/libtrace_model.so")
    if(SHARED AND NOT output MATCHES "NEEDED[^\n]*\\[libgrouptrace\\.so\\.${major}\\]")
      message(FATAL_ERROR "the model does not load libgrouptrace.so.${major}:\n${output}")
    elseif(NOT SHARED AND output MATCHES "libgrouptrace")
      message(FATAL_ERROR "the model loads a shared grouptrace:\n${output}")
    endif()
  endif()
  run("${WORK_DIR}/build/count_requests" "${TRACE}")
  expect("${output}" "joins 4 leaves 3\n" "the model library's count")
  # A missing file is reported, not an abort.
  run_failing("${WORK_DIR}/build/count_requests" "${WORK_DIR}/no-such.trace")
  if(NOT errors MATCHES "no-such\\.trace")
    message(FATAL_ERROR "a missing file is not named in the message: '${errors}'")
  endif()
  run("${WORK_DIR}/build/generate_requests" "${TRACE}")
  expect("${output}" "grouptrace ${VERSION} joins 4 leaves 3\n" "the in-process run")
elseif(STEP STREQUAL "pkgconfig")
  find_program(MAKE_PROGRAM NAMES make gmake)
  find_program(PKG_CONFIG_PROGRAM pkg-config)
  if(NOT MAKE_PROGRAM OR NOT PKG_CONFIG_PROGRAM)
    message("SKIP: needs make and pkg-config (Debian: make pkg-config)")
    return()
  endif()
  file(COPY "${SOURCE_DIR}/tests/pkgconfig_consumer/" DESTINATION "${WORK_DIR}/consumer")
  set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
  run(${PKG_CONFIG_PROGRAM} --modversion grouptrace)
  expect("${output}" "${VERSION}\n" "pkg-config --modversion")
  run(${MAKE_PROGRAM} -C "${WORK_DIR}/consumer" "CXX=${CXX_COMPILER}")
  run("${WORK_DIR}/consumer/first_join" "${TRACE}")
  expect("${output}" "line 18: node 1 joins session 0 (band 77, delay 1, hops 4)\ntrans 7 joins 4 leaves 3\n"
         "the pkg-config consumer's report")
else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
