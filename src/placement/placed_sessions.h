#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dynamic/philox.h"
#include "grouptrace/topology.h"
#include "grouptrace/types.h"
#include "placement/affinity.h"

namespace grouptrace::placement {

// Joins placed by locality: the network the trace is for and the affinity
// (see AffinityPlacement).
struct Locality {
  std::shared_ptr<const Topology> network;
  double beta = 0;
};

// The trees of a run's sessions, each with its distances, for placement by
// locality: a session's joins take their nodes here and its members' comings
// and goings are told here.
class PlacedSessions {
 public:
  // Throws std::invalid_argument as AffinityPlacement does. A session's nodes
  // are the network's.
  PlacedSessions(std::shared_ptr<const Topology> network, double beta);

  // Room for the trees of `sessions` sessions; throws std::bad_alloc where
  // they would not fit in the memory the run can count on.
  void reserve(std::int32_t sessions);
  // The next session's tree, made of its source alone; sessions are added in
  // index order.
  void add(NODEID source) { trees_.push_back(placement_.tree(source)); }

  // The node session s's join takes, from the uniform `u` of the join's node
  // draw and the draw of `purpose` at `index` for the choice within the
  // distance class. It is still a non-member: join() makes it one.
  //
  // The distance comes from the draw that picked the node before, so the
  // model's own draws keep their places; the choice within the class needs
  // more bits than that draw has left once the class is known, and takes them
  // from a stream of its own (keyed by the seed, named by purpose, session
  // and index), which moves no other draw.
  NODEID choose(std::int32_t s, double u, SEED_type seed, dynamic::Purpose purpose,
                std::uint64_t index) const {
    const std::uint64_t bits =
        dynamic::DrawStream(seed, purpose, s, dynamic::kNetworkKeyTag).bitsAt(index);
    return placement_.choose(trees_[static_cast<std::size_t>(s)], u, bits);
  }
  void join(std::int32_t s, NODEID v) { placement_.join(trees_[static_cast<std::size_t>(s)], v); }
  void leave(std::int32_t s, NODEID v) { placement_.leave(trees_[static_cast<std::size_t>(s)], v); }

  // Session s's joins placed so far, then one more: the index of a join for a
  // model whose joins have none of their own.
  std::uint64_t nextJoin(std::int32_t s) { return trees_[static_cast<std::size_t>(s)].joins++; }

  const TreeDistances& tree(std::int32_t s) const { return trees_[static_cast<std::size_t>(s)]; }
  const AffinityPlacement& placement() const { return placement_; }

 private:
  // Held for as long as the placement reads it.
  std::shared_ptr<const Topology> network_;
  AffinityPlacement placement_;
  std::vector<TreeDistances> trees_;
};

}  // namespace grouptrace::placement
