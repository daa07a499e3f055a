#include "grouptrace/generator.h"

#include "generator/run_into.h"

namespace grouptrace {
namespace {

// A run's events, handed to a caller's handler.
class HandlerSink {
 public:
  explicit HandlerSink(TraceHandler& handler) : handler_(handler) {}
  void header(const TraceHeader& e) { handler_.onHeader(e); }
  void sessionEntry(const SessionEntry& e) { handler_.onSession(e); }
  void phase(const PhaseStart& e) { handler_.onPhase(e); }
  void join(const JoinRecord& e) { handler_.onJoin(e); }
  void leave(const LeaveRecord& e) { handler_.onLeave(e); }
  void summary(const TraceSummary& e) { handler_.onSummary(e); }

 private:
  TraceHandler& handler_;
};

}  // namespace

RunResult generate(const RunConfig& config, TraceHandler& handler) {
  return generateWatched(config, handler, RunMonitor{});
}

RunResult generateWatched(const RunConfig& config, TraceHandler& handler, RunMonitor monitor) {
  HandlerSink sink(handler);
  return runInto(config, sink, monitor);
}

RunResult generate(const Parameters& parameters, SEED_type seed, TraceHandler& handler) {
  RunConfig config;
  config.parameters = parameters;
  config.seed = seed;
  return generate(config, handler);
}

}  // namespace grouptrace
