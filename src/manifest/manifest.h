#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// How one trace was made, for the record a sweep keeps beside each trace.
struct Manifest {
  std::string version;
  RunConfig config;
  RunResult run;
  std::uint64_t bytes = 0;            // of the trace as written
  std::optional<std::string> output;  // absent: standard output
  std::string sha256;                 // of the trace as written, in hexadecimal
  // --legacy-numbers was given: the stream may have been read differently.
  bool legacyNumbers = false;
  // The ids of the network's nodes, in node order, as the record read them
  // (written from config.topology's network).
  std::vector<std::string> topologyNodes;
};

// The manifest as one JSON object, its fields on lines of their own.
std::string manifestJson(const Manifest& manifest);

// A manifest or a parameter file that cannot be read as one; what() says
// where and why.
class ManifestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a manifest as manifestJson writes it. Every key must be known and
// every key a run needs present; `sha256` may be absent (manifests written
// before it existed). Throws ManifestError.
Manifest readManifest(std::string_view text);

// The manifest in the file at `path`: std::system_error when the file cannot
// be read, ManifestError when it holds no manifest, as one of over 1 MiB
// (a trace or a device given by mistake) does not.
Manifest readManifestFile(const std::string& path);

// The parameters of a JSON parameter file: an object with the 13 parameter
// names as keys, or a whole manifest, whose parameters are taken. Throws
// ManifestError for unknown or missing keys and values that are not whole
// numbers of the signed 32-bit range.
Parameters readJsonParameters(std::string_view text);

// A trace as it was found on disk, to hold against its manifest.
struct TraceFound {
  std::uint64_t bytes = 0;
  std::string sha256;
  // Read from the trace: absent when it could not be read as one (its bytes
  // already differ).
  std::optional<TraceFormat> format;
  bool timed = false;
  TraceSummary summary;
};

// Every way the trace found differs from the one the manifest records, each
// as "; what differs", or "" when it is the trace: its size and hash (when
// recorded), its form, and the counts it holds (a CSV trace holds no summary:
// only its records' joins and leaves; only a timed one counts blocked joins).
std::string traceMismatches(const Manifest& manifest, const TraceFound& found);

// The timed model a JSON parameter file names, when it is the manifest of a
// timed run ("dynamic-1", ...); nothing for a classic one or a plain parameter
// file. Throws ManifestError for text that is not a JSON object.
std::optional<std::string> timedModelOf(std::string_view text);

// Whether the text is JSON rather than a parameter stream: its first
// character that is not a blank (after a byte-order mark) is '{'.
bool looksLikeJson(std::string_view text);

// Whether traces made by `version` are the traces this version makes from the
// same configuration: the same major version.
bool sameTraces(std::string_view version, std::string_view ours);

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 (a file
// name can hold any) become U+FFFD, so the document stays valid JSON.
std::string jsonString(std::string_view text);

}  // namespace grouptrace
