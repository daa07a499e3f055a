#pragma once

#include <variant>

#include "grouptrace/byte_source.h"
#include "grouptrace/trace_event.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// Receives the events of a trace in order: the header, one SessionEntry per
// session, then each phase's PhaseStart followed by its records, and the
// summary last. Override what you need; the rest are ignored. The same
// handler takes a stored trace (readTrace) and a generated one (generate, in
// generator.h), so a simulator can be written once for both.
class TraceHandler {
 public:
  virtual ~TraceHandler() = default;
  virtual void onHeader(const TraceHeader&) {}
  virtual void onSession(const SessionEntry&) {}
  virtual void onPhase(const PhaseStart&) {}
  virtual void onJoin(const JoinRecord&) {}
  virtual void onLeave(const LeaveRecord&) {}
  virtual void onSummary(const TraceSummary&) {}
};

// Hands one event to the handler's member for its type.
inline void deliver(const TraceEvent& event, TraceHandler& handler) {
  struct Visitor {
    TraceHandler& h;
    void operator()(const TraceHeader& e) const { h.onHeader(e); }
    void operator()(const SessionEntry& e) const { h.onSession(e); }
    void operator()(const PhaseStart& e) const { h.onPhase(e); }
    void operator()(const JoinRecord& e) const { h.onJoin(e); }
    void operator()(const LeaveRecord& e) const { h.onLeave(e); }
    void operator()(const TraceSummary& e) const { h.onSummary(e); }
  };
  std::visit(Visitor{handler}, event);
}

// Reads a whole trace from the source and hands each event to the handler as it
// is read: the trace text with a TraceReader, CSV and JSON Lines with the same
// events and the checks AnyTraceReader (any_trace_reader.h) describes; the form
// is told from the first line. The summary, the last event, comes only once
// the trace has been read whole and found sound. Throws TraceError at the
// first faulty line (events before it have been delivered), and what the
// source or the handler throws.
void readTrace(ByteSource& source, TraceHandler& handler);

}  // namespace grouptrace

#pragma GCC visibility pop
