#pragma once

#include <memory>
#include <optional>
#include <string>

#include "group_size_series.h"
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

  explicit PlotRecorder(std::size_t buckets = kBuckets) : buckets_(buckets) {}

  // Takes the events of a sound trace, in order, as a TraceReader hands them out.
  void add(const TraceEvent& event);

  // The picture; the trace must have been read to its summary.
  std::string svg(const std::string& caption, const PlotStyle& style = {}) const;

  const GroupSizeSeries* series() const { return series_.get(); }

 private:
  void step(std::int32_t session, int delta, const std::optional<double>& time);

  std::size_t buckets_;
  PlotFacts facts_;
  // A timed trace's header duration where recorded (not in CSV), and the
  // last request's time.
  std::optional<double> duration_;
  double lastTime_ = 0;
  std::unique_ptr<SizeSpread> sizes_;
  std::unique_ptr<GroupSizeSeries> series_;
};

}  // namespace grouptrace
