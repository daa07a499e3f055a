#pragma once

#include <cstdint>

#include "grouptrace/types.h"

namespace grouptrace::placement {

// Which join a draw within a distance class is for. The values are part of
// the traces: renumbering them changes every trace placed by locality.
enum class JoinKind : std::uint32_t {
  classic = 1,       // the classic model's joins
  timed = 2,         // the timed model's arrivals
  timedInitial = 3,  // the timed model's members at time 0
};

// The bits that pick a node within its distance class for a session's
// index-th join of a kind: a Philox block named by (index, session, kind)
// under a key of the seed and placement's own tag. The distance is drawn
// where the node was drawn before, so the draws of the models' own streams
// keep their places; the choice within the class needs more bits than that
// one draw has left once the class is known, and a stream of its own moves
// no other draw.
std::uint64_t withinClassBits(SEED_type seed, JoinKind kind, std::int32_t session,
                              std::uint64_t index);

}  // namespace grouptrace::placement
