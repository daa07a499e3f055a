#include "plot_recorder.h"

#include <stdexcept>

namespace grouptrace {

void PlotRecorder::step(std::int32_t session, int delta) {
  sizes_->change(session, delta);
  series_->sample(*sizes_);
}

void PlotRecorder::add(const TraceEvent& event) {
  if (const auto* join = std::get_if<JoinRecord>(&event)) {
    ++facts_.joins;
    step(join->session, +1);
  } else if (const auto* leave = std::get_if<LeaveRecord>(&event)) {
    ++facts_.leaves;
    step(leave->session, -1);
  } else if (const auto* start = std::get_if<PhaseStart>(&event)) {
    const Count requests = facts_.joins + facts_.leaves;
    switch (start->phase) {
      case TracePhase::beefUp: {
        // The session table is complete once the first marker comes.
        const auto sessions = static_cast<std::int32_t>(facts_.sources.size());
        sizes_ = std::make_unique<SizeSpread>(sessions);
        series_ = std::make_unique<GroupSizeSeries>(sessions, kSessionLines, buckets_);
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
  }
}

std::string PlotRecorder::svg(const std::string& caption, const PlotStyle& style) const {
  if (!series_) throw std::logic_error("the trace was not read past its session table");
  PlotFacts facts = facts_;
  facts.caption = caption;
  return SvgPlot(*series_, std::move(facts), style).render();
}

}  // namespace grouptrace
