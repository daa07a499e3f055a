#pragma once

#include <string>
#include <vector>

#include "grouptrace/creation.h"
#include "grouptrace/parameters.h"

namespace grouptrace::testing {

// The small network of the worked examples: 3 nodes, 2 sessions, maxTrans 6,
// counter 0, avgSize 2, bandwidth 10..100, delay 1..5, hops 1..4, ordered.
Parameters exampleParameters();

// The whole trace a scenario writes through the fast output.
std::string generateTrace(const Parameters& parameters, SEED_type seed,
                          RunStatus* status = nullptr);

// The lines of a text, without their newlines.
std::vector<std::string> splitLines(const std::string& text);

struct ProcessResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // -1 when the process ended by a signal
  int signal = 0;
};

// Runs the built generator with the given arguments and standard input.
// `outPath`, when given, receives standard output instead of a capture file;
// `addressSpace`, when nonzero, limits the memory the process may map.
ProcessResult runGrouptrace(const std::vector<std::string>& args, const std::string& input,
                            const char* outPath = nullptr, std::size_t addressSpace = 0);

}  // namespace grouptrace::testing
