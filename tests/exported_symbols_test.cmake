cmake_minimum_required(VERSION 3.22)
# Holds the shared library's dynamic symbols to the names the installed headers
# declare: an internal class or function that leaks into the export table
# makes every internal change an ABI change. Every part of an exported
# symbol's qualified name must be a word of the headers' code (comments left
# out). Expects LIBRARY (the shared library) and HEADERS (a ;-list of files).

find_program(NM_PROGRAM nm)
if(NOT NM_PROGRAM)
  message("SKIP: nm is not installed (Debian: binutils)")
  return()
endif()

set(words "")
foreach(header IN LISTS HEADERS)
  file(READ "${header}" code)
  string(REGEX REPLACE "//[^\n]*" "" code "${code}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" found "${code}")
  list(APPEND words ${found})
endforeach()
list(REMOVE_DUPLICATES words)

execute_process(COMMAND ${NM_PROGRAM} -DC --defined-only "${LIBRARY}"
  RESULT_VARIABLE status OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}: ${errors}")
endif()
string(REPLACE "\n" ";" lines "${listing}")

set(faults "")
set(count 0)
foreach(line IN LISTS lines)
  # "ADDRESS TYPE NAME": the name may hold blanks.
  if(NOT line MATCHES "^[0-9a-f]+ [A-Za-z] (.*)$")
    continue()
  endif()
  set(symbol "${CMAKE_MATCH_1}")
  math(EXPR count "${count} + 1")
  string(REGEX REPLACE "^(typeinfo name for|typeinfo for|vtable for|VTT for) " "" name "${symbol}")
  # The qualified name without its parameters.
  string(REGEX REPLACE "\\(.*$" "" name "${name}")
  string(REGEX REPLACE " (const|&&|&)$" "" name "${name}")
  if(NOT name MATCHES "^grouptrace::")
    string(APPEND faults "  ${symbol}: outside the library's namespace\n")
    continue()
  endif()
  string(REPLACE "::" ";" parts "${name}")
  foreach(part IN LISTS parts)
    string(REGEX REPLACE "^~" "" part "${part}")
    if(part STREQUAL "operator=" OR part STREQUAL "operator==")
      continue()
    endif()
    if(NOT part IN_LIST words)
      string(APPEND faults "  ${symbol}: \"${part}\" is declared in no installed header\n")
      break()
    endif()
  endforeach()
endforeach()

if(count EQUAL 0)
  message(FATAL_ERROR "${LIBRARY} exports no symbol at all")
endif()
if(NOT faults STREQUAL "")
  message(FATAL_ERROR "${LIBRARY} exports symbols no installed header declares:\n${faults}")
endif()
message(STATUS "${count} exported symbols, all declared in the installed headers")
