#include "placement/placed_sessions.h"

#include <new>
#include <utility>

#include "generator/memory_limit.h"

namespace grouptrace::placement {

PlacedSessions::PlacedSessions(std::shared_ptr<const Topology> network, double beta)
    : network_(std::move(network)), placement_(*network_, beta) {
}

void PlacedSessions::reserve(std::int32_t sessions) {
  // A tree's size follows the network's, not its members'. Refused here,
  // before anything is written, rather than ended by the kernel part way.
  if (availableMemory() / AffinityPlacement::treeBytes(network_->nodeCount()) <
      static_cast<std::uint64_t>(sessions)) {
    throw std::bad_alloc();
  }
  trees_.reserve(static_cast<std::size_t>(sessions));
}

}  // namespace grouptrace::placement
