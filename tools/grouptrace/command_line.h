#pragma once

namespace grouptrace {

// Exit statuses of the generator.
enum ExitStatus : int {
  kExitComplete = 0,  // the trace is complete
  kExitFailure = 1,   // the run could not finish soundly (write error, memory, no progress)
  kExitBadInput = 2,  // bad usage or parameter stream; nothing was written to the trace
};

// The whole program: `grouptrace [SEED] < PARAMS > TRACE`. Reads the parameter
// stream from standard input, writes the trace to standard output and messages
// to standard error, and returns the exit status.
int runCommandLine(int argc, char* argv[]);

}  // namespace grouptrace
