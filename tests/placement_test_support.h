#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "dynamic/philox.h"
#include "placement/adjacency.h"

namespace grouptrace::placement::testing {

// A network the tests own, as placement reads it.
class Network {
 public:
  Network(NODEID nodes, const std::vector<std::pair<NODEID, NODEID>>& links) : nodes_(nodes) {
    std::vector<std::vector<NODEID>> lists(static_cast<std::size_t>(nodes));
    for (const auto& [a, b] : links) {
      lists[a].push_back(b);
      lists[b].push_back(a);
    }
    offsets_.push_back(0);
    for (const auto& l : lists) {
      neighbours_.insert(neighbours_.end(), l.begin(), l.end());
      offsets_.push_back(static_cast<std::uint32_t>(neighbours_.size()));
    }
  }
  NODEID nodes() const { return nodes_; }
  Adjacency view() const { return {nodes_, offsets_, neighbours_}; }

 private:
  NODEID nodes_;
  std::vector<std::uint32_t> offsets_;
  std::vector<NODEID> neighbours_;
};

inline Network fromLinks(NODEID nodes, const std::vector<std::pair<NODEID, NODEID>>& links) {
  return Network(nodes, links);
}

inline Network path(NODEID n) {
  std::vector<std::pair<NODEID, NODEID>> links;
  for (NODEID i = 0; i + 1 < n; ++i) links.emplace_back(i, i + 1);
  return Network(n, links);
}

inline Network ring(NODEID n) {
  std::vector<std::pair<NODEID, NODEID>> links;
  for (NODEID i = 0; i < n; ++i) links.emplace_back(i, (i + 1) % n);
  return Network(n, links);
}

inline Network star(NODEID n) {
  std::vector<std::pair<NODEID, NODEID>> links;
  for (NODEID i = 1; i < n; ++i) links.emplace_back(0, i);
  return Network(n, links);
}

// Node r * width + c, linked to its right and lower neighbours.
inline Network grid(NODEID width, NODEID height) {
  std::vector<std::pair<NODEID, NODEID>> links;
  for (NODEID r = 0; r < height; ++r) {
    for (NODEID c = 0; c < width; ++c) {
      if (c + 1 < width) links.emplace_back(r * width + c, r * width + c + 1);
      if (r + 1 < height) links.emplace_back(r * width + c, (r + 1) * width + c);
    }
  }
  return Network(width * height, links);
}

// Each new node links to `m` distinct earlier ones chosen in proportion to
// their degree: a few hubs and many nodes of small degree, in one piece.
inline Network preferential(NODEID n, int m, SEED_type seed) {
  std::vector<std::pair<NODEID, NODEID>> links;
  std::vector<NODEID> ends;  // each node once per link it has
  dynamic::DrawStream draws(seed, dynamic::Purpose::joinNode, 0);
  for (NODEID v = 1; v < n; ++v) {
    std::vector<NODEID> chosen;
    while (static_cast<int>(chosen.size()) < std::min<int>(m, v)) {
      const NODEID t = ends.empty() ? 0 : ends[draws.nextBelow(ends.size())];
      if (std::find(chosen.begin(), chosen.end(), t) == chosen.end()) chosen.push_back(t);
    }
    for (const NODEID t : chosen) {
      links.emplace_back(v, t);
      ends.push_back(v);
      ends.push_back(t);
    }
  }
  return Network(n, links);
}

}  // namespace grouptrace::placement::testing
