#pragma once

#include "common/run_monitor.h"
#include "formats/trace_output.h"
#include "generator/run_into.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_handler.h"

namespace grouptrace {

// A whole run written by one of the writers, which the compiler inlines into
// the run's request path.
template <template <class> class Writer>
RunResult writeWith(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  BlockOutput output(sink);
  Writer<BlockOutput> writer(output);
  const RunResult result = runInto(config, writer, monitor);
  writer.flush();
  return result;
}

// One of the writers as a handler, for events that come from elsewhere (a
// stored trace being converted, a table replayed).
template <template <class> class Writer>
class WriterHandler final : public TraceHandler {
 public:
  explicit WriterHandler(ByteSink& sink) : output_(sink), writer_(output_) {}
  void onHeader(const TraceHeader& e) override { writer_.header(e); }
  void onSession(const SessionEntry& e) override { writer_.sessionEntry(e); }
  void onPhase(const PhaseStart& e) override { writer_.phase(e); }
  void onJoin(const JoinRecord& e) override { writer_.join(e); }
  void onLeave(const LeaveRecord& e) override { writer_.leave(e); }
  void onSummary(const TraceSummary& e) override {
    writer_.summary(e);
    writer_.flush();
  }

 private:
  BlockOutput output_;
  Writer<BlockOutput> writer_;
};

}  // namespace grouptrace
