#pragma once

#include <string_view>

#include "formats/row_writing.h"
#include "grouptrace/dynamic_model.h"
#include "grouptrace/trace_event.h"

namespace grouptrace {

namespace format_detail {

// A request's object starts with its time key where the request has one.
template <class Line>
void jsonTime(Line& line, const std::optional<double>& t) {
  if (!t) return;
  line.text("\"time\":");
  time(line, *t);
  line.text(",");
}

}  // namespace format_detail

// JSON Lines: an object per line, told apart by `kind`: the header, a
// `source` per session, a `join` or `leave` per request, and the summary.
template <class Output>
class JsonLinesWriter {
 public:
  explicit JsonLinesWriter(Output& out) : out_(out) {}

  void header(const TraceHeader& h) {
    auto line = out_.line(format_detail::kLineRoom);
    timed_ = h.duration.has_value();
    line.text("{\"kind\":\"header\",");
    if (h.duration) {
      line.text("\"model\":\"");
      const std::string_view model =
          dynamic::modelVersionName(static_cast<dynamic::ModelVersion>(h.modelVersion));
      line.text(model.empty() ? dynamic::kModelVersion : model);
      line.text("\",\"duration\":");
      format_detail::time(line, *h.duration);
      line.text(",");
    }
    line.text("\"avgSize\":");
    line.integer(h.avgSize);
    line.text(",\"orderedJoinLeave\":");
    line.integer(h.orderedJoinLeave);
    line.text("}\n");
  }
  void sessionEntry(const SessionEntry& s) {
    auto line = out_.line(format_detail::kLineRoom);
    line.text("{\"phase\":\"sessions\",\"kind\":\"source\",\"node\":");
    line.integer(s.source);
    line.text(",\"session\":");
    line.integer(s.session);
    line.text("}\n");
  }
  void phase(const PhaseStart& p) { phase_ = phaseName(p.phase); }
  void join(const JoinRecord& j) {
    auto line = out_.line(format_detail::kLineRoom);
    line.text("{");
    format_detail::jsonTime(line, j.time);
    line.text("\"phase\":\"");
    line.text(phase_);
    line.text("\",\"kind\":\"join\",\"node\":");
    line.integer(j.node);
    line.text(",\"session\":");
    line.integer(j.session);
    line.text(",\"band\":");
    format_detail::exactNumber(line, j.band, "null");
    line.text(",\"delay\":");
    format_detail::exactNumber(line, j.delay, "null");
    line.text(",\"hops\":");
    line.integer(j.hops);
    line.text("}\n");
  }
  void leave(const LeaveRecord& l) {
    auto line = out_.line(format_detail::kLineRoom);
    line.text("{");
    format_detail::jsonTime(line, l.time);
    line.text("\"phase\":\"");
    line.text(phase_);
    line.text("\",\"kind\":\"leave\",\"node\":");
    line.integer(l.node);
    line.text(",\"session\":");
    line.integer(l.session);
    line.text("}\n");
  }
  void summary(const TraceSummary& s) {
    auto line = out_.line(format_detail::kLineRoom);
    line.text("{\"kind\":\"summary\",\"trans\":");
    line.integer(s.trans);
    line.text(",\"joins\":");
    line.integer(s.joins);
    line.text(",\"leaves\":");
    line.integer(s.leaves);
    if (timed_) {
      line.text(",\"blocked\":");
      line.integer(s.blocked);
    }
    line.text("}\n");
  }
  void flush() { out_.flush(); }

 private:
  Output& out_;
  std::string_view phase_ = phaseName(TracePhase::beefUp);
  bool timed_ = false;
};

}  // namespace grouptrace
