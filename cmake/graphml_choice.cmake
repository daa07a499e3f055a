# Turns GROUPTRACE_GRAPHML (AUTO, ON or OFF) into GROUPTRACE_WITH_GRAPHML, true
# when the network reader reads GraphML, which takes libxml2 (Debian:
# libxml2-dev). Without it the other network forms are still read, and a
# GraphML file is refused with a message that says why; a cross build finds no
# libxml2 for its target unless the target's package is installed.
set(GROUPTRACE_GRAPHML AUTO CACHE STRING
  "Read GraphML networks with libxml2: AUTO when libxml2 is found, ON to require it, OFF to leave GraphML out")
set_property(CACHE GROUPTRACE_GRAPHML PROPERTY STRINGS AUTO ON OFF)

string(TOUPPER "${GROUPTRACE_GRAPHML}" grouptrace_graphml_choice)
set(GROUPTRACE_WITH_GRAPHML OFF)
if(grouptrace_graphml_choice STREQUAL "AUTO" OR GROUPTRACE_GRAPHML)
  find_package(LibXml2 QUIET)
  if(TARGET LibXml2::LibXml2)
    set(GROUPTRACE_WITH_GRAPHML ON)
    message(STATUS "GraphML networks: read (libxml2 ${LIBXML2_VERSION_STRING} found)")
  elseif(grouptrace_graphml_choice STREQUAL "AUTO")
    message(STATUS "GraphML networks: not read, no libxml2 (install libxml2-dev, or set "
                   "GROUPTRACE_GRAPHML=ON to require it)")
  else()
    message(FATAL_ERROR "GROUPTRACE_GRAPHML is ${GROUPTRACE_GRAPHML} but libxml2 was not found: "
                        "install libxml2-dev, or configure with -DGROUPTRACE_GRAPHML=OFF")
  endif()
else()
  message(STATUS "GraphML networks: not read (GROUPTRACE_GRAPHML=${GROUPTRACE_GRAPHML})")
endif()
