#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "command_options.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/types.h"

namespace grouptrace {

// How one trace was made, for the record a sweep keeps beside each trace.
struct Manifest {
  std::string version;
  SEED_type seed = 0;
  Parameters parameters;
  RunResult run;
  std::uint64_t bytes = 0;            // of the trace as written
  std::optional<std::string> output;  // absent: standard output
  TraceFormat format = TraceFormat::trace;
  // --legacy-numbers was given: the stream may have been read differently.
  bool legacyNumbers = false;
};

// The manifest as one JSON object, its fields on lines of their own.
std::string manifestJson(const Manifest& manifest);

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 (a file
// name can hold any) become U+FFFD, so the document stays valid JSON.
std::string jsonString(std::string_view text);

}  // namespace grouptrace
