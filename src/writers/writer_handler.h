#pragma once

#include "grouptrace/byte_sink.h"
#include "grouptrace/trace_handler.h"
#include "writers/trace_output.h"

namespace grouptrace {

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
