#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "common/trace_format.h"
#include "generator/build_config.h"
#include "generator/trace_output.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// Every byte of the request trace is written here, in the order a run hands
// out its events; simulators parse this text, so each blank is deliberate.
template <class Output>
class BasicTraceWriter {
 public:
  explicit BasicTraceWriter(Output& out) : out_(out) {}

  // The commented header, up to the opening of the session table.
  void header(std::int32_t avgSize, std::int32_t orderedJoinLeave) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kTitle);
    line.text("\n");
    line.text(trace_format::kColumns);
    line.text("\n");
    line.text(trace_format::kAverageSize);
    line.integer(avgSize);
    line.text("\n");
    line.text(trace_format::kOrdered);
    line.integer(orderedJoinLeave);
    line.text("\n");
    line.text(trace_format::kTableOpen);
    line.text("\n");
  }

  void sessionEntry(std::int32_t session, NODEID source) {
    ++sessions_;
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kTableEntry);
    line.integer(session);
    line.text(trace_format::kSeparator);
    line.integer(source);
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
  void phase(TracePhase phase) {
    switch (phase) {
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

  void join(NODEID node, std::int32_t session, double band, double del, HOPS hops) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kRecordHead);
    line.integer(node);
    line.text(trace_format::kSeparator);
    line.integer(session);
    line.text(trace_format::kJoinType);
    line.real(band);
    line.text(trace_format::kSeparator);
    line.real(del);
    line.text(trace_format::kSeparator);
    line.integer(hops);
    line.text(trace_format::kRecordEnd);
  }

  void leave(NODEID node, std::int32_t session) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kRecordHead);
    line.integer(node);
    line.text(trace_format::kSeparator);
    line.integer(session);
    line.text(trace_format::kLeaveRest);
    line.text(trace_format::kRecordEnd);
  }

  void summary(Count currTrans, Count nJoins, Count nRemoves) {
    auto line = out_.line(kLineRoom);
    line.text(trace_format::kSummary);
    line.integer(currTrans);
    line.text(trace_format::kSummaryJoins);
    line.integer(nJoins);
    line.text(trace_format::kSummaryLeaves);
    line.integer(nRemoves);
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
