cmake_minimum_required(VERSION 3.22)
# Keeps a manual page from drifting from its program. MODE says what to check:
#   options  every long option that `PROGRAM --help` prints is described in the
#            page's OPTIONS, and every option the OPTIONS section describes
#            appears in --help
#   render   `man --warnings` formats the page without a word on standard error
# Expects MODE, PAGE and, for options, PROGRAM (and LAUNCHER, which may be empty).

file(READ "${PAGE}" page)
get_filename_component(page_name "${PAGE}" NAME)

if(MODE STREQUAL "render")
  find_program(MAN_PROGRAM man)
  if(NOT MAN_PROGRAM)
    message("SKIP: man is not installed (Debian: man-db groff-base)")
    return()
  endif()
  execute_process(COMMAND ${MAN_PROGRAM} --warnings -l "${PAGE}"
    RESULT_VARIABLE status OUTPUT_VARIABLE rendered ERROR_VARIABLE warnings)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "" OR rendered STREQUAL "")
    message(FATAL_ERROR "man --warnings -l ${page_name} (status ${status}):\n${warnings}")
  endif()
  return()
endif()

if(NOT MODE STREQUAL "options")
  message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()

execute_process(COMMAND ${LAUNCHER} "${PROGRAM}" --help
  RESULT_VARIABLE status OUTPUT_VARIABLE help ERROR_VARIABLE help_errors)
if(NOT status EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help failed (${status}): ${help_errors}")
endif()

# The OPTIONS section, up to the next section heading, in plain text: roff's
# escaped hyphens and font changes removed.
string(FIND "${page}" "\n.SH OPTIONS\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${page_name} has no OPTIONS section")
endif()
string(SUBSTRING "${page}" ${start} -1 options)
string(SUBSTRING "${options}" 1 -1 options)
string(FIND "${options}" "\n.SH " end)
if(NOT end EQUAL -1)
  string(SUBSTRING "${options}" 0 ${end} options)
endif()
string(REPLACE "\\-" "-" options "${options}")
string(REGEX REPLACE "\\\\f[BIRP]" "" options "${options}")

# The options the section describes: those on the tag line after each .TP.
string(REGEX MATCHALL "\\.TP[^\n]*\n[^\n]*" tags "${options}")
set(described "")
foreach(tag IN LISTS tags)
  string(REGEX REPLACE "^\\.TP[^\n]*\n" "" tag "${tag}")
  string(REGEX MATCHALL "(^|[ ,])--?[a-zA-Z][a-z-]*" names "${tag}")
  foreach(name IN LISTS names)
    string(REGEX REPLACE "^[ ,]" "" name "${name}")
    list(APPEND described "${name}")
  endforeach()
endforeach()
if(described STREQUAL "")
  message(FATAL_ERROR "${page_name} describes no options")
endif()

set(faults "")
string(REGEX MATCHALL "--[a-z][a-z-]*" help_long "${help}")
list(REMOVE_DUPLICATES help_long)
foreach(name IN LISTS help_long)
  string(REGEX REPLACE "-$" "" name "${name}")
  if(NOT name IN_LIST described)
    string(APPEND faults "  ${name}: in --help, not described in OPTIONS of ${page_name}\n")
  endif()
endforeach()
foreach(name IN LISTS described)
  # As a word of its own: -o is not found inside --output, nor --format inside
  # --formats.
  string(REGEX REPLACE "([.+*?])" "\\\\\\1" pattern "${name}")
  if(NOT help MATCHES "(^|[^a-zA-Z0-9-])${pattern}($|[^a-zA-Z0-9-])")
    string(APPEND faults "  ${name}: described in ${page_name}, not in --help\n")
  endif()
endforeach()
if(NOT faults STREQUAL "")
  message(FATAL_ERROR "${page_name} and ${PROGRAM} --help disagree:\n${faults}")
endif()
