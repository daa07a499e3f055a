# The JSON parser that reads manifests and JSON parameter files: nlohmann/json,
# header-only (Debian: nlohmann-json3-dev).
find_package(nlohmann_json 3.2 QUIET)
if(NOT nlohmann_json_FOUND)
  # A cross build looks for packages only in the target's root, but the parser
  # is plain headers, the same for every target. Its headers are copied on
  # their own, so that the host's other headers stay out of the target's path.
  find_path(GROUPTRACE_JSON_INCLUDE_DIR nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
  if(NOT GROUPTRACE_JSON_INCLUDE_DIR)
    message(FATAL_ERROR "nlohmann/json is needed to read manifests (Debian: nlohmann-json3-dev)")
  endif()
  file(COPY ${GROUPTRACE_JSON_INCLUDE_DIR}/nlohmann
       DESTINATION ${CMAKE_BINARY_DIR}/json_parser/include)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/json_parser/include)
endif()
