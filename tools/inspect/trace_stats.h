#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "grouptrace/any_trace_reader.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"
#include "value_histogram.h"

namespace grouptrace {

// What a trace holds, gathered event by event in one pass: requests per phase,
// each session's group size over the request sequence, and the spread of the
// QoS requirements the joins ask for.
class TraceStats {
 public:
  // Up to this many sessions the report lists each one.
  static constexpr std::int32_t kListedSessions = 20;

  // Reads the trace to its summary, with the group sizes the reader keeps as
  // it checks the trace; figures from values its form did not record are left
  // out. The reader's TraceError and read errors pass through.
  void read(AnyTraceReader& reader);

  // The plain-text report; the trace must have been read to its summary.
  std::string report() const;

  // The same figures as data, under the keys of fieldNames(): a JSON object
  // on one line, or a CSV row (fields without a value, such as the band of a
  // trace without joins, are null or empty). `file` names the trace.
  std::string json(const std::string& file) const;
  std::string csvRow(const std::string& file) const;
  // The CSV header row: the keys, in order.
  static std::string csvHeader();

  Count joins(TracePhase phase) const { return joins_[index(phase)]; }
  Count leaves(TracePhase phase) const { return leaves_[index(phase)]; }
  Count requests() const { return steps_; }
  std::int32_t sessions() const { return static_cast<std::int32_t>(groups_.size()); }
  Count sizeAtEnd(std::int32_t session) const { return group(session).size; }
  Count largestSize(std::int32_t session) const { return group(session).largest; }
  // The size averaged over the states after each request (the start when the
  // trace has none).
  double meanSize(std::int32_t session) const;
  const ValueHistogram& band() const { return band_; }
  const ValueHistogram& delay() const { return delay_; }
  const ValueHistogram& hops() const { return hops_; }

  // A trace of the timed model, whose requests carry times.
  bool timed() const { return header_.duration.has_value(); }
  // The run's length: the header's duration, or the last request's time where
  // the form does not record it.
  double duration() const;
  // The header records the duration and the summary the blocked arrivals.
  bool durationRecorded() const;
  Count blocked() const { return summary_.blocked; }
  // Joins per second over (0, T]: the members present at the start, who join
  // at time 0, are not arrivals of the run.
  double joinRate() const;
  // The holding times of the stays seen whole: joined after the start and left
  // before the end-of-session phase.
  const std::vector<double>& stays() const { return stays_; }
  // The stays of members who joined after the start and were still in when
  // the run ended (sent away by the end-of-session phase, or left in by an
  // open end). They are not among stays(), whose figures therefore
  // understate the holding time when there are any: a long stay is the more
  // likely to be cut off.
  Count censoredStays() const { return arrivals_ - static_cast<Count>(stays_.size()); }
  // The q-quantile (0 < q <= 1) of the stays: the smallest stay that at least
  // a fraction q of them do not exceed. The stays must not be empty.
  double stayQuantile(double q) const;
  double stayMean() const;
  // The group size averaged over time from 0 to T.
  double timeMeanSize(std::int32_t session) const;

 private:
  struct Group {
    NODEID source = 0;
    Count size = 1;
    Count largest = 1;
    // Sum of the sizes after requests 1 .. since.
    double area = 0;
    Count since = 0;
    // Timed traces: the size integrated over time up to `changed`.
    double timeArea = 0;
    double changed = 0;
  };

  static std::size_t index(TracePhase phase) { return static_cast<std::size_t>(phase); }
  const Group& group(std::int32_t session) const {
    return groups_[static_cast<std::size_t>(session)];
  }
  void add(const TraceEvent& event, const AnyTraceReader& reader);
  void change(std::int32_t session, Count size);
  void changeAt(std::int32_t session, NODEID node, int delta, const std::optional<double>& time);

  TraceHeader header_;
  TraceSummary summary_;
  TracePhase phase_ = TracePhase::beefUp;
  std::array<Count, 3> joins_{};
  std::array<Count, 3> leaves_{};
  std::vector<Group> groups_;
  Count steps_ = 0;
  ValueHistogram band_;
  ValueHistogram delay_;
  ValueHistogram hops_;

  TraceRecorded recorded_{true, true, true, true};
  Count arrivals_ = 0;  // joins after time 0
  double lastTime_ = 0;
  // The join time of every member present that joined after the start, by
  // session and node; the stays it completes.
  std::unordered_map<std::uint64_t, double> joinedAt_;
  mutable std::vector<double> stays_;
  mutable bool staysSorted_ = true;
};

}  // namespace grouptrace
