#include "qos-tree.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <queue>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace grouptrace_ns3 {

Network::Network(uint32_t nodes) : m_adjacent(nodes) {
}

uint32_t Network::AddLink(uint32_t a, uint32_t b, double capacity, double delay) {
  uint32_t id = static_cast<uint32_t>(m_links.size());
  m_links.push_back(Link{a, b, capacity, delay, 0});
  m_adjacent[a].emplace_back(b, id);
  m_adjacent[b].emplace_back(a, id);
  return id;
}

std::optional<uint32_t> Network::FindLink(uint32_t a, uint32_t b) const {
  for (const auto& [neighbour, id] : m_adjacent[a]) {
    if (neighbour == b) return id;
  }
  return std::nullopt;
}

bool Network::IsConnected() const {
  if (m_adjacent.empty()) return true;
  std::vector<bool> seen(m_adjacent.size(), false);
  std::vector<uint32_t> stack = {0};
  seen[0] = true;
  size_t reached = 1;
  while (!stack.empty()) {
    uint32_t u = stack.back();
    stack.pop_back();
    for (const auto& [v, id] : m_adjacent[u]) {
      if (!seen[v]) {
        seen[v] = true;
        ++reached;
        stack.push_back(v);
      }
    }
  }
  return reached == m_adjacent.size();
}

SessionTree::SessionTree(uint32_t nodes, uint32_t source) : m_source(source), m_entries(nodes) {
  m_entries[source].inTree = true;
}

std::vector<uint32_t> SessionTree::Nodes() const {
  std::vector<uint32_t> nodes = {m_source};
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (uint32_t child : m_entries[nodes[i]].children) nodes.push_back(child);
  }
  return nodes;
}

namespace {

// A join may graft onto any tree node whose own path already meets the bounds.
bool Meets(const SessionTree& tree, uint32_t node, const JoinRequest& join) {
  return tree.DelayTo(node) <= join.delay && tree.HopsTo(node) <= join.hops;
}

}  // namespace

std::optional<Graft> ShortestDelayRouting::FindGraft(const Network& network,
                                                     const SessionTree& tree,
                                                     const JoinRequest& join) const {
  if (tree.Contains(join.node)) {
    return Meets(tree, join.node, join) ? std::optional<Graft>(Graft{join.node}) : std::nullopt;
  }
  if (join.hops < 1) return std::nullopt;
  // No path of a tree and a graft has more links than the network has nodes.
  const uint32_t n = network.GetNodeCount();
  const uint32_t maxHops = static_cast<uint32_t>(std::min<int64_t>(join.hops, n));
  const size_t width = maxHops + 1;
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> best(static_cast<size_t>(n) * width, inf);
  std::vector<int64_t> previous(best.size(), -1);
  using Label = std::tuple<double, uint32_t, uint32_t>;  // delay, hops, node
  std::priority_queue<Label, std::vector<Label>, std::greater<Label>> queue;
  for (uint32_t t : tree.Nodes()) {
    if (!Meets(tree, t, join)) continue;
    uint32_t h = static_cast<uint32_t>(tree.HopsTo(t));
    best[t * width + h] = tree.DelayTo(t);
    queue.emplace(tree.DelayTo(t), h, t);
  }
  while (!queue.empty()) {
    auto [delay, hops, u] = queue.top();
    queue.pop();
    size_t state = u * width + hops;
    if (delay > best[state]) continue;
    if (u == join.node) {
      Graft graft;
      for (int64_t s = static_cast<int64_t>(state); s >= 0; s = previous[s]) {
        graft.push_back(static_cast<uint32_t>(s / width));
      }
      std::reverse(graft.begin(), graft.end());
      return graft;
    }
    if (hops == maxHops) continue;
    for (const auto& [v, id] : network.Adjacent(u)) {
      if (tree.Contains(v) || network.Residual(id) < join.band) continue;
      double next = delay + network.GetLink(id).delay;
      size_t to = v * width + hops + 1;
      if (next > join.delay || next >= best[to]) continue;
      best[to] = next;
      previous[to] = static_cast<int64_t>(state);
      queue.emplace(next, hops + 1, v);
    }
  }
  return std::nullopt;
}

std::optional<Graft> MinimumHopRouting::FindGraft(const Network& network, const SessionTree& tree,
                                                  const JoinRequest& join) const {
  const uint32_t n = network.GetNodeCount();
  using Cost = std::pair<int64_t, double>;  // hops, then delay, from the source
  std::vector<Cost> best(n, Cost{std::numeric_limits<int64_t>::max(), 0});
  std::vector<int64_t> previous(n, -1);
  std::priority_queue<std::pair<Cost, uint32_t>, std::vector<std::pair<Cost, uint32_t>>,
                      std::greater<>>
      queue;
  for (uint32_t t : tree.Nodes()) {
    best[t] = Cost{tree.HopsTo(t), tree.DelayTo(t)};
    queue.push({best[t], t});
  }
  while (!queue.empty()) {
    auto [cost, u] = queue.top();
    queue.pop();
    if (cost > best[u]) continue;
    if (u == join.node) break;
    for (const auto& [v, id] : network.Adjacent(u)) {
      if (tree.Contains(v) || network.Residual(id) < join.band) continue;
      Cost next{cost.first + 1, cost.second + network.GetLink(id).delay};
      if (next < best[v]) {
        best[v] = next;
        previous[v] = u;
        queue.push({next, v});
      }
    }
  }
  const Cost& reached = best[join.node];
  if (reached.first > join.hops || reached.second > join.delay) return std::nullopt;
  Graft graft;
  for (int64_t v = join.node; v >= 0; v = previous[v]) graft.push_back(static_cast<uint32_t>(v));
  std::reverse(graft.begin(), graft.end());
  return graft;
}

std::unique_ptr<TreeRouting> MakeTreeRouting(const std::string& name) {
  if (name == "delay") return std::make_unique<ShortestDelayRouting>();
  if (name == "hops") return std::make_unique<MinimumHopRouting>();
  return nullptr;
}

TreeController::TreeController(Network& network, const std::vector<uint32_t>& sources,
                               const TreeRouting& routing)
    : m_network(network), m_routing(routing) {
  for (uint32_t source : sources) m_trees.emplace_back(network.GetNodeCount(), source);
}

void TreeController::CheckGraft(const SessionTree& tree, const JoinRequest& join,
                                const Graft& graft) const {
  auto refuse = [&](const std::string& why) {
    std::ostringstream message;
    message << "routing \"" << m_routing.Name() << "\" returned a graft for node " << join.node
            << " that " << why << ":";
    for (uint32_t v : graft) message << " " << v;
    throw std::logic_error(message.str());
  };
  if (graft.empty() || graft.back() != join.node) refuse("does not end at the joining node");
  if (!tree.Contains(graft.front())) refuse("does not start in the tree");
  double delay = tree.DelayTo(graft.front());
  int64_t hops = tree.HopsTo(graft.front());
  std::vector<bool> seen(m_network.GetNodeCount(), false);
  for (size_t i = 1; i < graft.size(); ++i) {
    if (graft[i] >= m_network.GetNodeCount() || tree.Contains(graft[i]) || seen[graft[i]]) {
      refuse("goes through the tree or a node twice");
    }
    seen[graft[i]] = true;
    std::optional<uint32_t> link = m_network.FindLink(graft[i - 1], graft[i]);
    if (!link) refuse("follows a link the network does not have");
    if (m_network.Residual(*link) < join.band) refuse("overbooks a link");
    delay += m_network.GetLink(*link).delay;
    ++hops;
  }
  if (delay > join.delay || hops > join.hops) refuse("misses the delay or hop bound");
}

TreeChange TreeController::Join(uint32_t session, const JoinRequest& join) {
  SessionTree& tree = m_trees[session];
  TreeChange change;
  std::optional<Graft> graft = m_routing.FindGraft(m_network, tree, join);
  if (!graft) return change;
  CheckGraft(tree, join, *graft);
  // A negative band (the generator allows such bounds) reserves nothing.
  const double band = std::max(join.band, 0.0);
  for (size_t i = 1; i < graft->size(); ++i) {
    uint32_t parent = (*graft)[i - 1];
    uint32_t node = (*graft)[i];
    uint32_t link = *m_network.FindLink(parent, node);
    m_network.Reserve(link, band);
    SessionTree::Entry& e = tree.m_entries[node];
    e.inTree = true;
    e.parent = parent;
    e.parentLink = link;
    e.reserved = band;
    e.delay = tree.m_entries[parent].delay + m_network.GetLink(link).delay;
    e.hops = tree.m_entries[parent].hops + 1;
    tree.m_entries[parent].children.push_back(node);
    ++tree.m_linkCount;
    change.newLinks.push_back(link);
  }
  tree.m_entries[join.node].member = true;
  change.admitted = true;
  change.touched = *graft;
  change.pathDelay = tree.DelayTo(join.node);
  change.pathHops = tree.HopsTo(join.node);
  return change;
}

TreeChange TreeController::Leave(uint32_t session, uint32_t node) {
  SessionTree& tree = m_trees[session];
  TreeChange change;
  if (!tree.IsMember(node)) return change;
  tree.m_entries[node].member = false;
  uint32_t v = node;
  while (v != tree.m_source && !tree.m_entries[v].member && tree.m_entries[v].children.empty()) {
    SessionTree::Entry& e = tree.m_entries[v];
    m_network.Release(e.parentLink, e.reserved);
    std::vector<uint32_t>& siblings = tree.m_entries[e.parent].children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), v));
    --tree.m_linkCount;
    change.prunedNodes.push_back(v);
    uint32_t parent = e.parent;
    e = SessionTree::Entry{};
    v = parent;
  }
  change.touched = change.prunedNodes;
  if (!change.prunedNodes.empty()) change.touched.push_back(v);
  return change;
}

}  // namespace grouptrace_ns3
