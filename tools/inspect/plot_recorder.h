#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "group_size_series.h"
#include "grouptrace/any_trace_reader.h"
#include "grouptrace/trace_event.h"
#include "size_spread.h"
#include "svg_plot.h"

namespace grouptrace {

// Follows a trace's events and keeps what its picture needs, in memory that
// does not grow with the trace: the bucketed series and the phase boundaries.
class PlotRecorder {
 public:
  // Up to this many sessions each gets its own line.
  static constexpr std::int32_t kSessionLines = 8;
  static constexpr std::size_t kBuckets = 512;

  // `sessionLines`: up to this many sessions get a line each (0: always one
  // series, the band and mean over the sessions).
  explicit PlotRecorder(std::size_t buckets = kBuckets, std::int32_t sessionLines = kSessionLines)
      : buckets_(buckets), sessionLines_(sessionLines) {}

  // Reads the trace to its summary, with the group sizes the reader keeps as
  // it checks the trace. The reader's TraceError and read errors pass through.
  void read(AnyTraceReader& reader);

  // The picture; the trace must have been read to its summary.
  std::string svg(const std::string& caption, const PlotStyle& style = {}) const;

  const GroupSizeSeries* series() const { return series_.get(); }
  bool timed() const { return facts_.timed; }
  // A timed trace's duration (its last request's time where not recorded).
  double duration() const { return durationRecorded_ && duration_ ? *duration_ : lastTime_; }

 private:
  void add(const TraceEvent& event, const AnyTraceReader& reader);
  void step(std::int32_t session, Count size, const std::optional<double>& time);

  std::size_t buckets_;
  std::int32_t sessionLines_;
  PlotFacts facts_;
  // A timed trace's header duration, and the last request's time.
  std::optional<double> duration_;
  bool durationRecorded_ = true;
  double lastTime_ = 0;
  std::unique_ptr<SizeSpread> sizes_;
  std::unique_ptr<GroupSizeSeries> series_;
};

// Several traces in one picture: a line each, its mean group size over its
// sessions, named in the legend by `labels`. The recorders must have been made
// with no session lines, and be all classic or all timed (std::invalid_argument
// otherwise).
std::string comparisonSvg(const std::vector<const PlotRecorder*>& traces,
                          const std::vector<std::string>& labels, const PlotStyle& style = {});

}  // namespace grouptrace
