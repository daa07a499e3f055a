#include "placement/placed_sessions.h"

#include <new>
#include <stdexcept>
#include <string>

#include "generator/memory_limit.h"

namespace grouptrace::placement {

PlacedSessions::PlacedSessions(Adjacency network, double beta, NODEID nodes)
    : placement_(network, beta), nodes_(nodes) {
  if (network.nodes != nodes) {
    throw std::invalid_argument("the network has " + std::to_string(network.nodes) +
                                " nodes and the parameters " + std::to_string(nodes));
  }
}

void PlacedSessions::reserve(std::int32_t sessions) {
  // A tree holds three numbers per node whatever its size. Refused here,
  // before anything is written, rather than ended by the kernel part way.
  if (availableMemory() / AffinityPlacement::treeBytes(nodes_) <
      static_cast<std::uint64_t>(sessions)) {
    throw std::bad_alloc();
  }
  trees_.reserve(static_cast<std::size_t>(sessions));
}

}  // namespace grouptrace::placement
