#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "formats/trace/trace_text_lines.h"
#include "formats/trace_output.h"
#include "generator/build_config.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// The refusal of a timed trace, naming the formats that hold its times; out
// of line, away from the writer's path.
[[noreturn]] void refuseTimedText();

// Every byte of the request trace is written here, in the order a run hands
// out its events; simulators parse this text, so each blank is deliberate.

template <class Output>
class BasicTraceWriter {
 public:
  explicit BasicTraceWriter(Output& out) : out_(out) {}

  // The commented header, up to the opening of the session table.
  void header(const TraceHeader& h) {
    // Times would be lost without a word: a timed trace is written in a
    // format that holds them.
    if (h.duration) refuseTimedText();
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kTitle);
    line.text("\n");
    line.text(trace_format::kColumns);
    line.text("\n");
    line.text(trace_format::kAverageSize);
    line.integer(h.avgSize);
    line.text("\n");
    line.text(trace_format::kOrdered);
    line.integer(h.orderedJoinLeave);
    line.text("\n");
    line.text(trace_format::kTableOpen);
    line.text("\n");
  }

  void sessionEntry(const SessionEntry& s) {
    ++sessions_;
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kTableEntry);
    line.integer(s.session);
    line.text(trace_format::kSeparator);
    line.integer(s.source);
    line.text("\n");
  }

  void sessionTableEnd() { wholeLine(trace_format::kTableClose); }

  void groupBlock(std::int32_t session) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kBlockOpen);
    line.text("\n");
    line.text(trace_format::kBlockIndex);
    line.integer(session);
    line.text(trace_format::kRecordEnd);
  }

  // The text's layout around a phase marker: the session table closes, and
  // each session gets its group block, before the first.
  void phase(const PhaseStart& p) {
    switch (p.phase) {
      case TracePhase::beefUp:
        sessionTableEnd();
        for (std::int32_t i = 0; i < sessions_; ++i) groupBlock(i);
        beefUpMarker();
        break;
      case TracePhase::joinLeave:
        joinLeaveMarker();
        break;
      case TracePhase::endOfSession:
        endOfSessionMarker();
        break;
    }
  }

  void beefUpMarker() { wholeLine(trace_format::kMarkers[0]); }
  void joinLeaveMarker() { wholeLine(trace_format::kMarkers[1]); }
  void endOfSessionMarker() { wholeLine(trace_format::kMarkers[2]); }

  // Inlined into the request that writes it, as when the record's fields were
  // arguments: through a reference to the record, the compiler otherwise
  // kept the writer out of line and ran 13% more instructions a trace.
  [[gnu::always_inline]] void join(const JoinRecord& j) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kRecordHead);
    line.integer(j.node);
    line.text(trace_format::kSeparator);
    line.integer(j.session);
    line.text(trace_format::kJoinType);
    line.real(j.band);
    line.text(trace_format::kSeparator);
    line.real(j.delay);
    line.text(trace_format::kSeparator);
    line.integer(j.hops);
    line.text(trace_format::kRecordEnd);
  }

  void leave(const LeaveRecord& l) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kRecordHead);
    line.integer(l.node);
    line.text(trace_format::kSeparator);
    line.integer(l.session);
    line.text(trace_format::kLeaveRest);
    line.text(trace_format::kRecordEnd);
  }

  void summary(const TraceSummary& s) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kSummary);
    line.integer(s.trans);
    line.text(trace_format::kSummaryJoins);
    line.integer(s.joins);
    line.text(trace_format::kSummaryLeaves);
    line.integer(s.leaves);
    line.text("\n");
  }

  void flush() { out_.flush(); }

 private:
  // Room for the longest text any one operation writes: the header's fixed
  // text and two numbers, a record's fixed text and five numbers.
  static constexpr std::size_t kLineRoom = 512;

  // One fixed line and its newline.
  void wholeLine(std::string_view text) {
    auto line = out_.line(text.size() + 1);
    line.text(text);
    line.text("\n");
  }

  Output& out_;
  std::int32_t sessions_ = 0;
};

// The output this build writes the trace through: the straightforward build
// (GROUPTRACE_BASELINE) keeps stream insertion for side-by-side measurements.
using TraceOutput = std::conditional_t<kBaselineBuild, StreamOutput, BlockOutput>;
using TraceWriter = BasicTraceWriter<TraceOutput>;

}  // namespace grouptrace
