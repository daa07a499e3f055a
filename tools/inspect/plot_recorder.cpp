#include "plot_recorder.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace grouptrace {

void PlotRecorder::step(std::int32_t session, Count size, const std::optional<double>& time) {
  if (time) lastTime_ = *time;
  sizes_->set(session, size);
  series_->sample(*sizes_, lastTime_);
}

void PlotRecorder::read(AnyTraceReader& reader) {
  for (TraceEvent event; reader.next(event);) add(event, reader);
  durationRecorded_ = reader.recorded().duration;
}

// The reader has applied each request before handing it out: its group size
// is the size after the request.
void PlotRecorder::add(const TraceEvent& event, const AnyTraceReader& reader) {
  if (const auto* join = std::get_if<JoinRecord>(&event)) {
    ++facts_.joins;
    step(join->session, reader.groupSize(join->session), join->time);
  } else if (const auto* leave = std::get_if<LeaveRecord>(&event)) {
    ++facts_.leaves;
    step(leave->session, reader.groupSize(leave->session), leave->time);
  } else if (const auto* start = std::get_if<PhaseStart>(&event)) {
    const Count requests = facts_.joins + facts_.leaves;
    switch (start->phase) {
      case TracePhase::beefUp: {
        // The session table is complete once the first marker comes.
        const auto sessions = static_cast<std::int32_t>(facts_.sources.size());
        sizes_ = std::make_unique<SizeSpread>(sessions);
        series_ = std::make_unique<GroupSizeSeries>(sessions, sessionLines_, buckets_);
        series_->sample(*sizes_);
        break;
      }
      case TracePhase::joinLeave:
        facts_.joinLeaveStart = requests;
        facts_.endStart = requests;
        break;
      case TracePhase::endOfSession:
        facts_.endStart = requests;
        break;
    }
  } else if (const auto* entry = std::get_if<SessionEntry>(&event)) {
    facts_.sources.push_back(entry->source);
  } else if (const auto* header = std::get_if<TraceHeader>(&event)) {
    facts_.timed = header->duration.has_value();
    if (facts_.timed) duration_ = header->duration;
  }
}

std::string PlotRecorder::svg(const std::string& caption, const PlotStyle& style) const {
  if (!series_) throw std::logic_error("the trace was not read past its session table");
  PlotFacts facts = facts_;
  facts.caption = caption;
  // Where the form does not record the run's duration, its last request
  // stands for it.
  if (facts.timed) facts.duration = duration();
  return SvgPlot(*series_, std::move(facts), style).render();
}

std::string comparisonSvg(const std::vector<const PlotRecorder*>& traces,
                          const std::vector<std::string>& labels, const PlotStyle& style) {
  std::vector<const GroupSizeSeries*> series;
  PlotFacts facts;
  facts.timed = traces.front()->timed();
  for (const PlotRecorder* t : traces) {
    if (t->series() == nullptr) throw std::logic_error("a trace was not read past its table");
    if (t->timed() != facts.timed) {
      throw std::invalid_argument(
          "a timed trace and a classic one have no common axis: plot them apart");
    }
    series.push_back(t->series());
    facts.duration = std::max(facts.duration, t->timed() ? t->duration() : 0.0);
  }
  facts.lineLabels = labels;
  const GroupSizeSeries compared =
      GroupSizeSeries::compare(series, facts.timed, facts.duration, PlotRecorder::kBuckets);
  return SvgPlot(compared, std::move(facts), style).render();
}

}  // namespace grouptrace
