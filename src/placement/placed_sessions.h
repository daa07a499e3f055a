#pragma once

#include <cstdint>
#include <vector>

#include "grouptrace/types.h"
#include "placement/affinity.h"
#include "placement/draws.h"

namespace grouptrace::placement {

// The trees of a run's sessions, each with its distances, for placement by
// locality: a session's joins take their nodes here and its members' comings
// and goings are told here.
class PlacedSessions {
 public:
  // Throws std::invalid_argument as AffinityPlacement does, and for a network
  // whose size is not `nodes`.
  PlacedSessions(Adjacency network, double beta, NODEID nodes);

  // Session s's tree, made of its source alone; sessions are added in index
  // order. Throws std::bad_alloc where the trees of `sessions` sessions would
  // not fit in the memory the run can count on.
  void reserve(std::int32_t sessions);
  void add(NODEID source) { trees_.push_back(placement_.tree(source)); }

  // The node session s's join takes, from the uniform `u` of the join's node
  // draw and a draw within the class named by (seed, kind, s, index). It is
  // still a non-member: join() makes it one.
  NODEID choose(std::int32_t s, double u, SEED_type seed, JoinKind kind,
                std::uint64_t index) const {
    const TreeDistances& t = trees_[static_cast<std::size_t>(s)];
    return placement_.choose(t, u, withinClassBits(seed, kind, s, index));
  }
  void join(std::int32_t s, NODEID v) { placement_.join(trees_[static_cast<std::size_t>(s)], v); }
  void leave(std::int32_t s, NODEID v) { placement_.leave(trees_[static_cast<std::size_t>(s)], v); }

  // Session s's joins placed so far, for the classic model, whose joins have
  // no index of their own.
  std::uint64_t nextJoin(std::int32_t s) { return trees_[static_cast<std::size_t>(s)].joins++; }

  const TreeDistances& tree(std::int32_t s) const { return trees_[static_cast<std::size_t>(s)]; }
  const AffinityPlacement& placement() const { return placement_; }

 private:
  AffinityPlacement placement_;
  NODEID nodes_;
  std::vector<TreeDistances> trees_;
};

}  // namespace grouptrace::placement
