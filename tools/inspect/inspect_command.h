#pragma once

namespace grouptrace {

// Exit statuses of grouptrace-inspect.
enum InspectStatus : int {
  kInspectOk = 0,        // the trace is sound (and the report or picture written)
  kInspectBadTrace = 1,  // the trace is faulty: "line N: ..." on standard error
  kInspectTrouble = 2,   // bad usage, or a file that cannot be read or written
};

// The whole program: `grouptrace-inspect check|stats|plot [FILE] [-o OUT.svg]`.
int runInspect(int argc, const char* const argv[]);

}  // namespace grouptrace
