#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "grouptrace/dynamic_model.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// The machine-readable forms of a trace, as consumers of a run's events (see
// Creation::run) in the same way as the trace text. Values are written
// exactly: band and delay as whole numbers, never in exponent form.

namespace format_detail {

// Room for the longest line either writer makes: its fixed text and seven
// numbers of at most 24 characters.
inline constexpr std::size_t kLineRoom = 512;

// A band or delay: every generated one is a whole number of the 32-bit range;
// one read back from a trace text is whole too, but may be larger. Anything
// else (only a hand-made trace could hold it) is written in the shortest form
// that reads back as the same double, or as `invalid` where that is no number.
template <class Line>
void exactNumber(Line& line, double v, std::string_view invalid) {
  if (v > -9.2e18 && v < 9.2e18 && v == std::trunc(v)) {
    line.integer(static_cast<std::int64_t>(v));
  } else if (!std::isfinite(v)) {
    line.text(invalid);
  } else {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
    line.text(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
  }
}

// A request's time: the shortest decimal that reads back as the same double.
template <class Line>
void time(Line& line, double t) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, t).ptr;
  line.text(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
}

// What a request's line starts with: in CSV its time column where the trace
// is timed, in JSON Lines its time key where the request has one.
template <class Line>
void csvTime(Line& line, bool timed, const std::optional<double>& t) {
  if (!timed) return;
  time(line, t.value_or(0));
  line.text(",");
}

template <class Line>
void jsonTime(Line& line, const std::optional<double>& t) {
  if (!t) return;
  line.text("\"time\":");
  time(line, *t);
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
