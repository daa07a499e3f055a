#pragma once

#include <cstdint>
#include <variant>

#include "grouptrace/types.h"

namespace grouptrace {

// The three phases of a run, in the order their markers appear.
enum class TracePhase : std::uint8_t {
  beefUp,        // joins only: every session grows towards the target size
  joinLeave,     // joins and leaves against drawn sessions
  endOfSession,  // leaves only: the sessions wind down
};

// The header's two values.
struct TraceHeader {
  std::int32_t avgSize = 0;
  std::int32_t orderedJoinLeave = 0;
  bool operator==(const TraceHeader&) const = default;
};

// One line of the session table. Sessions arrive in index order from 0.
struct SessionEntry {
  std::int32_t session = 0;
  NODEID source = 0;
  bool operator==(const SessionEntry&) const = default;
};

// A phase marker: every record after it, up to the next marker, belongs to it.
struct PhaseStart {
  TracePhase phase = TracePhase::beefUp;
  bool operator==(const PhaseStart&) const = default;
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
  bool operator==(const JoinRecord&) const = default;
};

// A node left a session.
struct LeaveRecord {
  NODEID node = 0;
  std::int32_t session = 0;
  bool operator==(const LeaveRecord&) const = default;
};

// The last line: the transaction counter (its starting value plus every request
// performed) and the join and leave counts, which the reader has matched
// against the records.
struct TraceSummary {
  Count trans = 0;
  Count joins = 0;
  Count leaves = 0;
  bool operator==(const TraceSummary&) const = default;
};

using TraceEvent =
    std::variant<TraceHeader, SessionEntry, PhaseStart, JoinRecord, LeaveRecord, TraceSummary>;

}  // namespace grouptrace
