#pragma once

#include <cstdint>
#include <span>

#include "grouptrace/types.h"

namespace grouptrace::placement {

// The links of a network as placement reads them: node v's neighbours are
// neighbours[offsets[v] .. offsets[v + 1]), each link listed from both ends.
// A view: the network it looks at outlives the run.
struct Adjacency {
  NODEID nodes = 0;
  std::span<const std::uint32_t> offsets;  // nodes + 1 entries
  std::span<const NODEID> neighbours;

  std::span<const NODEID> of(NODEID v) const {
    const auto i = static_cast<std::size_t>(v);
    return neighbours.subspan(offsets[i], offsets[i + 1] - offsets[i]);
  }
};

}  // namespace grouptrace::placement
