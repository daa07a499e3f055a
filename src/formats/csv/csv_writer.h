#pragma once

#include <optional>
#include <string_view>

#include "formats/row_writing.h"
#include "grouptrace/trace_event.h"

namespace grouptrace {

namespace format_detail {

// A request's line starts with its time column where the trace is timed.
template <class Line>
void csvTime(Line& line, bool timed, const std::optional<double>& t) {
  if (!timed) return;
  time(line, t.value_or(0));
  line.text(",");
}

}  // namespace format_detail

// CSV with a header row: first a `source` row per session (phase `sessions`),
// then a row per request; leaves leave band, delay and hops empty. A timed
// trace has a first column more, `time` (0 for the sources).
template <class Output>
class CsvWriter {
 public:
  explicit CsvWriter(Output& out) : out_(out) {}

  void header(const TraceHeader& h) {
    timed_ = h.duration.has_value();
    auto line = out_.line(format_detail::kLineRoom);
    line.text(timed_ ? "time,phase,kind,node,session,band,delay,hops\n"
                     : "phase,kind,node,session,band,delay,hops\n");
  }
  void sessionEntry(const SessionEntry& s) {
    auto line = out_.line(format_detail::kLineRoom);
    if (timed_) line.text("0,");
    line.text("sessions,source,");
    line.integer(s.source);
    line.text(",");
    line.integer(s.session);
    line.text(",,,\n");
  }
  void phase(const PhaseStart& p) { phase_ = phaseName(p.phase); }
  void join(const JoinRecord& j) {
    auto line = out_.line(format_detail::kLineRoom);
    format_detail::csvTime(line, timed_, j.time);
    line.text(phase_);
    line.text(",join,");
    line.integer(j.node);
    line.text(",");
    line.integer(j.session);
    line.text(",");
    format_detail::exactNumber(line, j.band, "");
    line.text(",");
    format_detail::exactNumber(line, j.delay, "");
    line.text(",");
    line.integer(j.hops);
    line.text("\n");
  }
  void leave(const LeaveRecord& l) {
    auto line = out_.line(format_detail::kLineRoom);
    format_detail::csvTime(line, timed_, l.time);
    line.text(phase_);
    line.text(",leave,");
    line.integer(l.node);
    line.text(",");
    line.integer(l.session);
    line.text(",,,\n");
  }
  // The counts are the rows; CSV has no place for a summary.
  void summary(const TraceSummary&) {}
  void flush() { out_.flush(); }

 private:
  Output& out_;
  std::string_view phase_ = phaseName(TracePhase::beefUp);
  bool timed_ = false;
};

}  // namespace grouptrace
