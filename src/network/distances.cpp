#include <functional>
#include <limits>
#include <queue>
#include <stdexcept>
#include <string>
#include <utility>

#include "grouptrace/topology.h"

namespace grouptrace {
namespace {

void requireNode(const Topology& network, NODEID source) {
  if (source < 0 || source >= network.nodeCount()) {
    throw std::out_of_range("node " + std::to_string(source) + " is not in a network of " +
                            std::to_string(network.nodeCount()) + " nodes");
  }
}

}  // namespace

std::vector<double> leastDelays(const Topology& network, NODEID source) {
  const auto& offsets = network.adjacencyOffsets();
  const auto& neighbours = network.neighbours();
  const auto& via = network.neighbourLinks();
  const auto& links = network.links();
  requireNode(network, source);
  std::vector<double> delay(static_cast<std::size_t>(network.nodeCount()),
                            std::numeric_limits<double>::infinity());
  using Entry = std::pair<double, NODEID>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> open;
  delay[static_cast<std::size_t>(source)] = 0;
  open.emplace(0.0, source);
  while (!open.empty()) {
    const auto [d, v] = open.top();
    open.pop();
    // An entry left behind by a shorter path found later.
    if (d > delay[static_cast<std::size_t>(v)]) continue;
    for (auto i = offsets[static_cast<std::size_t>(v)];
         i < offsets[static_cast<std::size_t>(v) + 1]; ++i) {
      const double through = d + links[via[i]].delay;
      const auto w = static_cast<std::size_t>(neighbours[i]);
      if (through < delay[w]) {
        delay[w] = through;
        open.emplace(through, neighbours[i]);
      }
    }
  }
  return delay;
}

std::vector<HOPS> hopDistances(const Topology& network, NODEID source) {
  const auto& offsets = network.adjacencyOffsets();
  const auto& neighbours = network.neighbours();
  requireNode(network, source);
  std::vector<HOPS> hops(static_cast<std::size_t>(network.nodeCount()), -1);
  std::vector<NODEID> queue;
  queue.reserve(hops.size());
  hops[static_cast<std::size_t>(source)] = 0;
  queue.push_back(source);
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const auto v = static_cast<std::size_t>(queue[head]);
    for (auto i = offsets[v]; i < offsets[v + 1]; ++i) {
      const auto w = static_cast<std::size_t>(neighbours[i]);
      if (hops[w] < 0) {
        hops[w] = hops[v] + 1;
        queue.push_back(neighbours[i]);
      }
    }
  }
  return hops;
}

}  // namespace grouptrace
