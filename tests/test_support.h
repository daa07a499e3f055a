#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "formats/trace/trace_writer.h"
#include "generator/creation.h"
#include "grouptrace/parameters.h"

namespace grouptrace::testing {

// The small network of the worked examples: 3 nodes, 2 sessions, maxTrans 6,
// counter 0, avgSize 2, bandwidth 10..100, delay 1..5, hops 1..4, ordered.
Parameters exampleParameters();

// A writer of this build's kind whose trace is kept in memory.
class CapturedTrace {
 public:
  CapturedTrace();
  TraceWriter& writer() { return writer_; }
  // Everything written so far.
  std::string text();

 private:
  std::ostringstream stream_;
  StringSink sink_;
  TraceOutput output_;
  TraceWriter writer_;
};

// The whole trace a scenario writes.
std::string generateTrace(const Parameters& parameters, SEED_type seed,
                          RunStatus* status = nullptr);

// The lines of a text, without their newlines.
std::vector<std::string> splitLines(const std::string& text);

struct ProcessResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // -1 when the process ended by a signal
  int signal = 0;
  long peakKiB = 0;  // the process's peak resident memory
};

// Runs the built generator with the given arguments and standard input.
// `outPath`, when given, receives standard output instead of a capture file;
// `addressSpace`, when nonzero, limits the memory the process may map.
ProcessResult runGrouptrace(const std::vector<std::string>& args, const std::string& input,
                            const char* outPath = nullptr, std::size_t addressSpace = 0);

// Runs the built generator on the given descriptors as its standard input and
// output, -1 for one left closed; standard error is captured. A run that lasts
// longer than `timeoutSeconds` is ended by SIGALRM, which `signal` then shows.
ProcessResult runGrouptraceOn(const std::vector<std::string>& args, int inFd, int outFd,
                              unsigned timeoutSeconds = 60);

}  // namespace grouptrace::testing
