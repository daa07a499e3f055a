# Turns GROUPTRACE_NS3 (AUTO, ON or OFF) into GROUPTRACE_WITH_NS3, true when the
# ns-3 membership helper and its study are built.
#
# Debian's ns-3 package configuration stops the whole configure when a file it
# names is missing (it needs the ns3 package beside libns3-dev), and a program
# fails to link without libgsl-dev, libsqlite3-dev and libxml2-dev. AUTO must
# not break a machine that only half has ns-3, so it first configures and links
# a small probe project apart; ON goes straight to find_package and lets ns-3's
# own message say what is missing.

string(TOUPPER "${GROUPTRACE_NS3}" grouptrace_ns3_choice)
set(GROUPTRACE_WITH_NS3 OFF)
set(grouptrace_ns3_packages "ns3 libns3-dev libgsl-dev libsqlite3-dev libxml2-dev")

if(grouptrace_ns3_choice STREQUAL "AUTO" AND CMAKE_CROSSCOMPILING)
  # Debian's ns-3 is built for the host, not the target.
  message(STATUS "ns-3 helper and study: not built (cross build; set GROUPTRACE_NS3=ON to try)")
elseif(grouptrace_ns3_choice STREQUAL "AUTO")
  if(NOT DEFINED GROUPTRACE_NS3_PROBE_OK)
    try_compile(grouptrace_ns3_probe_result
      ${CMAKE_BINARY_DIR}/ns3_probe
      ${CMAKE_CURRENT_LIST_DIR}/ns3_probe
      grouptrace_ns3_probe
      CMAKE_FLAGS -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
      OUTPUT_VARIABLE grouptrace_ns3_probe_output)
    set(GROUPTRACE_NS3_PROBE_OK ${grouptrace_ns3_probe_result} CACHE INTERNAL
        "Whether a program links against ns-3 here")
  endif()
  if(GROUPTRACE_NS3_PROBE_OK)
    find_package(ns3 QUIET)
    if(TARGET ns3::libcore)
      set(GROUPTRACE_WITH_NS3 ON)
    endif()
  endif()
  if(GROUPTRACE_WITH_NS3)
    message(STATUS "ns-3 helper and study: built (ns-3 ${ns3_VERSION} found)")
  else()
    message(STATUS "ns-3 helper and study: not built, no usable ns-3 (install "
                   "${grouptrace_ns3_packages}, or set GROUPTRACE_NS3=ON to require them)")
  endif()
elseif(GROUPTRACE_NS3)
  find_package(ns3 QUIET)
  if(NOT TARGET ns3::libcore)
    message(FATAL_ERROR "GROUPTRACE_NS3 is ${GROUPTRACE_NS3} but ns-3 was not found: install "
                        "${grouptrace_ns3_packages}, or configure with -DGROUPTRACE_NS3=OFF")
  endif()
  set(GROUPTRACE_WITH_NS3 ON)
  message(STATUS "ns-3 helper and study: built (ns-3 ${ns3_VERSION} found)")
else()
  message(STATUS "ns-3 helper and study: not built (GROUPTRACE_NS3=${GROUPTRACE_NS3})")
endif()
