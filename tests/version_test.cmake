cmake_minimum_required(VERSION 3.22)
# The version is set once, by project() in CMakeLists.txt. What repeats it by
# hand must agree: CITATION.cff (version and release date), the newest release
# in CHANGELOG.md, the manual pages' title lines; and both programs' --version.
# Expects VERSION, SOURCE_DIR, GENERATOR_PROGRAM, INSPECT_PROGRAM and LAUNCHER
# (which may be empty).
set(faults "")

file(STRINGS "${SOURCE_DIR}/CHANGELOG.md" releases REGEX "^## [0-9]")
list(GET releases 0 newest)
if(NOT newest MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+) - ([0-9]+-[0-9]+-[0-9]+)$")
  message(FATAL_ERROR "CHANGELOG.md: the newest release heading '${newest}' is not "
                      "'## X.Y.Z - YYYY-MM-DD'")
endif()
set(changelog_version "${CMAKE_MATCH_1}")
set(changelog_date "${CMAKE_MATCH_2}")
if(NOT changelog_version STREQUAL VERSION)
  string(APPEND faults "  CHANGELOG.md: newest release ${changelog_version}\n")
endif()

file(STRINGS "${SOURCE_DIR}/CITATION.cff" citation_version REGEX "^version:")
file(STRINGS "${SOURCE_DIR}/CITATION.cff" citation_date REGEX "^date-released:")
if(NOT citation_version MATCHES "^version: \"?${VERSION}\"?$")
  string(APPEND faults "  CITATION.cff: '${citation_version}'\n")
endif()
if(NOT citation_date MATCHES "^date-released: \"?${changelog_date}\"?$")
  string(APPEND faults
         "  CITATION.cff: '${citation_date}', CHANGELOG.md's release date ${changelog_date}\n")
endif()

foreach(page grouptrace.1 grouptrace-inspect.1)
  file(STRINGS "${SOURCE_DIR}/man/${page}" title REGEX "^\\.TH ")
  if(NOT title MATCHES "\"grouptrace ${VERSION}\"")
    string(APPEND faults "  man/${page}: '${title}'\n")
  endif()
endforeach()

foreach(program IN ITEMS "${GENERATOR_PROGRAM}" "${INSPECT_PROGRAM}")
  get_filename_component(name "${program}" NAME_WE)
  execute_process(COMMAND ${LAUNCHER} "${program}" --version
    RESULT_VARIABLE status OUTPUT_VARIABLE output)
  if(NOT status EQUAL 0 OR NOT output STREQUAL "${name} ${VERSION}\n")
    string(APPEND faults "  ${name} --version (status ${status}): '${output}'\n")
  endif()
endforeach()

if(NOT faults STREQUAL "")
  message(FATAL_ERROR "not at the project's version ${VERSION}:\n${faults}")
endif()
