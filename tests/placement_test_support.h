#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dynamic/philox.h"
#include "grouptrace/topology.h"

namespace grouptrace::placement::testing {

using Network = std::shared_ptr<const Topology>;

inline Network fromLinks(NODEID nodes, const std::vector<std::pair<NODEID, NODEID>>& pairs) {
  std::vector<std::string> ids;
  for (NODEID v = 0; v < nodes; ++v) ids.push_back(std::to_string(v));
  std::vector<Topology::Link> links;
  for (const auto& [a, b] : pairs) links.push_back({a, b, 1, 0});
  return std::make_shared<const Topology>(std::move(ids), std::move(links), TopologyFormat::orbis,
                                          "");
}

// Node v's neighbours.
inline std::vector<NODEID> neighboursOf(const Topology& net, NODEID v) {
  const auto& offsets = net.adjacencyOffsets();
  return {net.neighbours().begin() + offsets[v], net.neighbours().begin() + offsets[v + 1]};
}

inline Network path(NODEID n) {
  std::vector<std::pair<NODEID, NODEID>> links;
  for (NODEID i = 0; i + 1 < n; ++i) links.emplace_back(i, i + 1);
  return fromLinks(n, links);
}

inline Network ring(NODEID n) {
  std::vector<std::pair<NODEID, NODEID>> links;
  for (NODEID i = 0; i < n; ++i) links.emplace_back(i, (i + 1) % n);
  return fromLinks(n, links);
}

inline Network star(NODEID n) {
  std::vector<std::pair<NODEID, NODEID>> links;
  for (NODEID i = 1; i < n; ++i) links.emplace_back(0, i);
  return fromLinks(n, links);
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
  return fromLinks(width * height, links);
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
  return fromLinks(n, links);
}

}  // namespace grouptrace::placement::testing
