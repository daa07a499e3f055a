#include "grouptrace/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <string_view>

#include "grouptrace/build_config.h"
#include "grouptrace/creation.h"
#include "grouptrace/my_io.h"
#include "grouptrace/parameters.h"
#include "grouptrace/seed_argument.h"
#include "grouptrace/trace_writer.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsage = R"(usage: grouptrace [SEED] < PARAMS > TRACE
       grouptrace --help | -h | --version

Writes a synthetic trace of multicast group join and leave requests with QoS
requirements. The same parameter stream and SEED always give the same trace.

SEED     a signed 32-bit integer, read like atoi: leading blanks, a sign and
         digits; anything after the digits is ignored, and no digits means 0.
         Without it the seed is 0. Further arguments are ignored.

PARAMS   13 lines on standard input, one number each, in this order; anything
         after the number on its line is a comment. Values are truncated
         toward zero to signed 32-bit integers.
   1  nNodes            nodes in the network (at least 1)
   2  nSessions         multicast sessions (at least 1)
   3  maxTrans          the join-leave phase runs until the counter reaches this
   4  currTrans         starting value of the transaction counter
   5  avgSize           target group size reached in the beef-up phase
   6  nQoSLevels        QoS levels (recorded, does not change the trace)
   7  maxBand           bandwidth upper bound
   8  minBand           bandwidth lower bound
   9  minDelay          delay lower bound
  10  maxDelay          delay upper bound
  11  minHops           hop-count lower bound
  12  maxHops           hop-count upper bound
  13  orderedJoinLeave  nonzero: strict join/leave alternation; 0: random

TRACE    a commented header, the session table "S : session : source", then one
         block per request:
           GRP_REQ {
           I : 0
           U : node : session : type : band : delay : hops
           }
         type 1 is a join, 2 a leave (band, delay and hops are 0). Phase markers
         "// Start: Beef up session", "// JOIN-LEAVE ...", " // LEAVE end of
         session" separate the phases; the last line is
         " // Trans: T J: joins R: leaves".

Exit status:
  0  the trace is complete
  1  the run could not finish soundly: a write error, memory exhausted, or a
     join-leave phase that can never progress (the trace is still finished)
  2  bad usage or a bad parameter stream; nothing was written to standard output
)";

void report(const std::string& message) {
  std::fprintf(stderr, "grouptrace: %s\n", message.c_str());
}

void printToStdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

template <class Output>
RunStatus runScenario(Output& output, const Parameters& parameters, SEED_type seed) {
  BasicTraceWriter<Output> writer(output);
  Creation creation(parameters, writer);
  return creation.run(seed).status;
}

// Templated on the build's choice so that only the chosen output is compiled in.
template <bool kBaseline>
RunStatus generate(const Parameters& parameters, SEED_type seed) {
  if constexpr (kBaseline) {
    StreamOutput output(std::cout);
    return runScenario(output, parameters, seed);
  } else {
    FdSink sink(1);
    BlockOutput output(sink);
    return runScenario(output, parameters, seed);
  }
}

}  // namespace

int runCommandLine(int argc, char* argv[]) {
  SEED_type seed = 0;
  if (argc > 1) {
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h") {
      printToStdout(kUsage);
      return std::fflush(stdout) == 0 ? kExitComplete : kExitFailure;
    }
    if (first == "--version") {
      std::printf("grouptrace %s\n", kVersion);
      return std::fflush(stdout) == 0 ? kExitComplete : kExitFailure;
    }
    const auto parsed = parseSeedArgument(argv[1]);
    if (!parsed) {
      report("the seed \"" + std::string(first) +
             "\" is outside the signed 32-bit range (-2147483648 to 2147483647)");
      return kExitBadInput;
    }
    seed = *parsed;
  }

  Parameters parameters;
  try {
    myIO io(stdin);
    parameters = readParameters(io);
  } catch (const ParameterError& e) {
    report(e.what());
    return kExitBadInput;
  }

  try {
    if (generate<kBaselineBuild>(parameters, seed) == RunStatus::stalled) {
      report(
          "the join-leave phase cannot progress: no session can accept a join or give up a "
          "member (a network of 1 node), so the transaction counter cannot reach maxTrans; the "
          "trace was finished early");
      return kExitFailure;
    }
    return kExitComplete;
  } catch (const WriteError& e) {
    // A reader that went away (head, a closed pipe) is an ordinary end for a
    // Unix filter; anything else is a failure the caller must see.
    if (e.errnum() != EPIPE) report(e.what());
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    report("out of memory: the scenario needs more memory than the system can give");
    return kExitFailure;
  }
}

}  // namespace grouptrace
