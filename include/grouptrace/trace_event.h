#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "grouptrace/types.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// The comparisons are written out member by member because simulators that
// include these headers may still build as C++17.

// The three phases of a run, in the order their markers appear.
enum class TracePhase : std::uint8_t {
  beefUp,        // joins only: every session grows towards the target size
  joinLeave,     // joins and leaves against drawn sessions
  endOfSession,  // leaves only: the sessions wind down
};

// The phase's name as the CSV and JSON Lines forms write it: "beef-up",
// "join-leave" or "end-of-session".
inline std::string_view phaseName(TracePhase phase) {
  constexpr std::string_view kNames[] = {"beef-up", "join-leave", "end-of-session"};
  const auto index = static_cast<std::size_t>(phase);
  return index < 3 ? kNames[index] : std::string_view();
}

// The header's two values.
struct TraceHeader {
  std::int32_t avgSize = 0;
  std::int32_t orderedJoinLeave = 0;
  // The run's duration in seconds, for a trace of the timed model (whose
  // requests carry times in [0, duration]); absent for the classic model's
  // ordered requests.
  std::optional<double> duration;
  // The timed model's version that made a timed trace (1 for dynamic-1, 2 for
  // dynamic-2), where the form records it (JSON Lines does, CSV does not); 0
  // when it is not known. A timed header written as JSON Lines without one
  // names the newest version.
  std::int32_t modelVersion = 0;
  bool operator==(const TraceHeader& o) const {
    return avgSize == o.avgSize && orderedJoinLeave == o.orderedJoinLeave &&
           duration == o.duration && modelVersion == o.modelVersion;
  }
  bool operator!=(const TraceHeader& o) const { return !(*this == o); }
};

// One line of the session table. Sessions arrive in index order from 0.
struct SessionEntry {
  std::int32_t session = 0;
  NODEID source = 0;
  bool operator==(const SessionEntry& o) const {
    return session == o.session && source == o.source;
  }
  bool operator!=(const SessionEntry& o) const { return !(*this == o); }
};

// A phase marker: every record after it, up to the next marker, belongs to it.
struct PhaseStart {
  TracePhase phase = TracePhase::beefUp;
  bool operator==(const PhaseStart& o) const { return phase == o.phase; }
  bool operator!=(const PhaseStart& o) const { return !(*this == o); }
};

// A node joined a session with these QoS requirements. Band and delay are whole
// numbers, written in six significant digits, so values of a million and more
// come back rounded as the trace shows them.
struct JoinRecord {
  NODEID node = 0;
  std::int32_t session = 0;
  double band = 0;
  double delay = 0;
  HOPS hops = 0;
  // Seconds since the start of a timed run; absent in traces of transaction steps.
  std::optional<double> time;
  bool operator==(const JoinRecord& o) const {
    return node == o.node && session == o.session && band == o.band && delay == o.delay &&
           hops == o.hops && time == o.time;
  }
  bool operator!=(const JoinRecord& o) const { return !(*this == o); }
};

// A node left a session.
struct LeaveRecord {
  NODEID node = 0;
  std::int32_t session = 0;
  // Seconds since the start of a timed run; absent in traces of transaction steps.
  std::optional<double> time;
  bool operator==(const LeaveRecord& o) const {
    return node == o.node && session == o.session && time == o.time;
  }
  bool operator!=(const LeaveRecord& o) const { return !(*this == o); }
};

// The last line: the transaction counter (its starting value plus every request
// performed) and the join and leave counts, which the reader has matched
// against the records.
struct TraceSummary {
  Count trans = 0;
  Count joins = 0;
  Count leaves = 0;
  // Joins a timed run refused because every node was already a member; 0 otherwise.
  Count blocked = 0;
  bool operator==(const TraceSummary& o) const {
    return trans == o.trans && joins == o.joins && leaves == o.leaves && blocked == o.blocked;
  }
  bool operator!=(const TraceSummary& o) const { return !(*this == o); }
};

using TraceEvent =
    std::variant<TraceHeader, SessionEntry, PhaseStart, JoinRecord, LeaveRecord, TraceSummary>;

}  // namespace grouptrace

#pragma GCC visibility pop
