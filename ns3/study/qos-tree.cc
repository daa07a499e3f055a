#include "qos-tree.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <queue>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace grouptrace_ns3 {

namespace {

// Far past any simulated time (about 36 years), yet far from overflowing
// when a few are added.
constexpr Nanoseconds kUnbounded = Nanoseconds{1} << 60;

// A tree node whose own bounds already meet the query may take the graft.
bool Meets(const SessionTree& tree, uint32_t node, const GraftQuery& query) {
  return tree.DelayTo(node) <= query.delay && tree.HopsTo(node) <= query.hops;
}

std::optional<Graft> AlreadyInTree(const SessionTree& tree, const GraftQuery& query) {
  return Meets(tree, query.node, query) ? std::optional<Graft>(Graft{query.node}) : std::nullopt;
}

// Follows `previous` back from `state` to a state without one; each state
// stands for the node state / width.
Graft Unwind(const std::vector<int64_t>& previous, int64_t state, size_t width) {
  Graft graft;
  for (; state >= 0; state = previous[static_cast<size_t>(state)]) {
    graft.push_back(static_cast<uint32_t>(static_cast<size_t>(state) / width));
  }
  std::reverse(graft.begin(), graft.end());
  return graft;
}

}  // namespace

Nanoseconds DelayBound(double milliseconds) {
  if (!(milliseconds >= 0)) return -1;
  const double ns = std::floor(milliseconds * 1e6);
  return ns >= static_cast<double>(kUnbounded) ? kUnbounded : static_cast<Nanoseconds>(ns);
}

Network::Network(uint32_t nodes, uint32_t packetBits)
    : m_packetBits(packetBits), m_adjacent(nodes) {
}

uint32_t Network::AddLink(uint32_t a, uint32_t b, uint64_t bitRate, Nanoseconds delay) {
  uint32_t id = static_cast<uint32_t>(m_links.size());
  m_links.push_back(Link{a, b, bitRate, delay});
  m_arcs.resize(m_arcs.size() + 2, ArcState{0, 0, 0, 0, kUnbounded});
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

double Network::Residual(uint32_t link, uint32_t from) const {
  return static_cast<double>(m_links[link].bitRate) / 1000 - Reserved(link, from);
}

static Nanoseconds TransmissionAt(uint64_t packetBits, uint64_t bitRate) {
  return static_cast<Nanoseconds>((packetBits * 1000000000ull + bitRate - 1) / bitRate);
}

Nanoseconds Network::Transmission(uint32_t link) const {
  return TransmissionAt(m_packetBits, m_links[link].bitRate);
}

uint64_t Network::SenderBitRate() const {
  uint64_t rate = 1000000000ull;
  for (const Link& l : m_links) rate = std::max(rate, l.bitRate);
  return rate;
}

Nanoseconds Network::SenderTransmission() const {
  return TransmissionAt(m_packetBits, SenderBitRate());
}

Nanoseconds Network::JoiningDelay(uint32_t link, uint32_t from) const {
  return m_links[link].delay + Queue(link, from) + Transmission(link);
}

bool Network::Accepts(uint32_t link, uint32_t from, double rate) const {
  const ArcState& arc = m_arcs[Arc(link, from)];
  return (arc.reserved + rate) * 1000 <= static_cast<double>(m_links[link].bitRate) &&
         arc.headroom >= Transmission(link);
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

std::optional<Graft> LeastDelayRouting::FindGraft(const Network& network, const SessionTree& tree,
                                                  const GraftQuery& query) const {
  if (tree.Contains(query.node)) return AlreadyInTree(tree, query);
  if (query.hops < 1) return std::nullopt;
  // No path of a tree and a graft has more links than the network has nodes.
  const uint32_t n = network.GetNodeCount();
  const uint32_t maxHops = static_cast<uint32_t>(std::min<int64_t>(query.hops, n));
  const size_t width = maxHops + 1;
  std::vector<Nanoseconds> best(static_cast<size_t>(n) * width, kUnbounded);
  std::vector<int64_t> previous(best.size(), -1);
  using Label = std::tuple<Nanoseconds, uint32_t, uint32_t>;  // delay, hops, node
  std::priority_queue<Label, std::vector<Label>, std::greater<Label>> queue;
  for (uint32_t t : tree.Nodes()) {
    if (!Meets(tree, t, query)) continue;
    uint32_t h = static_cast<uint32_t>(tree.HopsTo(t));
    best[t * width + h] = tree.DelayTo(t);
    queue.emplace(tree.DelayTo(t), h, t);
  }
  while (!queue.empty()) {
    auto [delay, hops, u] = queue.top();
    queue.pop();
    size_t state = u * width + hops;
    if (delay > best[state]) continue;
    if (u == query.node) return Unwind(previous, static_cast<int64_t>(state), width);
    if (hops == maxHops) continue;
    for (const auto& [v, id] : network.Adjacent(u)) {
      if (tree.Contains(v) || !network.Accepts(id, u, query.rate)) continue;
      Nanoseconds next = delay + network.JoiningDelay(id, u);
      size_t to = v * width + hops + 1;
      if (next > query.delay || next >= best[to]) continue;
      best[to] = next;
      previous[to] = static_cast<int64_t>(state);
      queue.emplace(next, hops + 1, v);
    }
  }
  return std::nullopt;
}

std::optional<Graft> FewestHopsRouting::FindGraft(const Network& network, const SessionTree& tree,
                                                  const GraftQuery& query) const {
  if (tree.Contains(query.node)) return AlreadyInTree(tree, query);
  const uint32_t n = network.GetNodeCount();
  using Cost = std::pair<int64_t, Nanoseconds>;  // hops, then delay, from the source
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
    if (u == query.node) break;
    for (const auto& [v, id] : network.Adjacent(u)) {
      if (tree.Contains(v) || !network.Accepts(id, u, query.rate)) continue;
      Cost next{cost.first + 1, cost.second + network.JoiningDelay(id, u)};
      if (next < best[v]) {
        best[v] = next;
        previous[v] = u;
        queue.push({next, v});
      }
    }
  }
  const Cost& reached = best[query.node];
  if (reached.first > query.hops || reached.second > query.delay) return std::nullopt;
  return Unwind(previous, query.node, 1);
}

std::optional<Graft> ShortestPathTreeRouting::FindGraft(const Network& network,
                                                        const SessionTree& tree,
                                                        const GraftQuery& query) const {
  if (tree.Contains(query.node)) return AlreadyInTree(tree, query);
  // The idle network's least-delay paths from the source, the same for every
  // join of the session, so that its members' paths merge into one tree.
  const uint32_t n = network.GetNodeCount();
  std::vector<Nanoseconds> best(n, kUnbounded);
  std::vector<int64_t> previous(n, -1);
  using Label = std::pair<Nanoseconds, uint32_t>;
  std::priority_queue<Label, std::vector<Label>, std::greater<Label>> queue;
  best[tree.GetSource()] = 0;
  queue.emplace(0, tree.GetSource());
  while (!queue.empty()) {
    auto [delay, u] = queue.top();
    queue.pop();
    if (delay > best[u]) continue;
    for (const auto& [v, id] : network.Adjacent(u)) {
      Nanoseconds next = delay + network.GetLink(id).delay + network.Transmission(id);
      if (next < best[v]) {
        best[v] = next;
        previous[v] = u;
        queue.emplace(next, v);
      }
    }
  }
  if (best[query.node] == kUnbounded) return std::nullopt;
  Graft graft = {query.node};
  while (!tree.Contains(graft.back())) {
    graft.push_back(static_cast<uint32_t>(previous[graft.back()]));
  }
  std::reverse(graft.begin(), graft.end());
  Nanoseconds delay = tree.DelayTo(graft.front());
  int64_t hops = tree.HopsTo(graft.front());
  for (size_t i = 1; i < graft.size(); ++i) {
    const uint32_t link = *network.FindLink(graft[i - 1], graft[i]);
    if (!network.Accepts(link, graft[i - 1], query.rate)) return std::nullopt;
    delay += network.JoiningDelay(link, graft[i - 1]);
    ++hops;
  }
  if (delay > query.delay || hops > query.hops) return std::nullopt;
  return graft;
}

std::optional<Graft> FewestLinksRouting::FindGraft(const Network& network, const SessionTree& tree,
                                                   const GraftQuery& query) const {
  if (tree.Contains(query.node)) return AlreadyInTree(tree, query);
  if (query.hops < 1) return std::nullopt;
  const uint32_t n = network.GetNodeCount();
  const uint32_t maxHops = static_cast<uint32_t>(std::min<int64_t>(query.hops, n));
  const size_t width = maxHops + 1;
  // Layer k holds the least delay to (node, hops from the source) over
  // exactly k new links; the first layer that reaches the joining node gives
  // the fewest links. A path of the fewest links is simple: a loop cut out
  // would leave fewer.
  std::vector<Nanoseconds> layer(static_cast<size_t>(n) * width, kUnbounded);
  std::vector<std::vector<int64_t>> previous;  // per layer, state -> state in the layer before
  for (uint32_t t : tree.Nodes()) {
    if (Meets(tree, t, query))
      layer[t * width + static_cast<uint32_t>(tree.HopsTo(t))] = tree.DelayTo(t);
  }
  for (uint32_t k = 1; k <= maxHops; ++k) {
    std::vector<Nanoseconds> next(layer.size(), kUnbounded);
    previous.emplace_back(layer.size(), -1);
    for (size_t state = 0; state < layer.size(); ++state) {
      const uint32_t u = static_cast<uint32_t>(state / width);
      const size_t hops = state % width;
      if (layer[state] == kUnbounded || hops == maxHops) continue;
      for (const auto& [v, id] : network.Adjacent(u)) {
        if (tree.Contains(v) || !network.Accepts(id, u, query.rate)) continue;
        Nanoseconds delay = layer[state] + network.JoiningDelay(id, u);
        size_t to = v * width + hops + 1;
        if (delay > query.delay || delay >= next[to]) continue;
        next[to] = delay;
        previous.back()[to] = static_cast<int64_t>(state);
      }
    }
    size_t arrival = 0;
    Nanoseconds least = kUnbounded;
    for (size_t h = 0; h < width; ++h) {
      if (next[query.node * width + h] < least) {
        least = next[query.node * width + h];
        arrival = query.node * width + h;
      }
    }
    if (least < kUnbounded) {
      Graft graft = {query.node};
      for (size_t layerIndex = previous.size(); layerIndex-- > 0;) {
        arrival = static_cast<size_t>(previous[layerIndex][arrival]);
        graft.push_back(static_cast<uint32_t>(arrival / width));
      }
      std::reverse(graft.begin(), graft.end());
      return graft;
    }
    layer = std::move(next);
  }
  return std::nullopt;
}

std::vector<std::string> TreeRoutingNames() {
  return {"delay", "hops", "spt", "cost"};
}

std::unique_ptr<TreeRouting> MakeTreeRouting(const std::string& name) {
  if (name == "delay") return std::make_unique<LeastDelayRouting>();
  if (name == "hops") return std::make_unique<FewestHopsRouting>();
  if (name == "spt") return std::make_unique<ShortestPathTreeRouting>();
  if (name == "cost") return std::make_unique<FewestLinksRouting>();
  return nullptr;
}

TreeController::TreeController(Network& network, const std::vector<uint32_t>& sources,
                               const TreeRouting& routing)
    : m_network(network), m_routing(routing), m_heldRates(sources.size()) {
  for (uint32_t source : sources) m_trees.emplace_back(network.GetNodeCount(), source);
  Assess(true);
}

Nanoseconds TreeController::PacketInterval(uint32_t session) const {
  const double rate = m_trees[session].GetRate();
  if (!(rate > 0)) return 0;
  const double ns = std::ceil(m_network.GetPacketBits() * 1e6 / rate);
  return ns >= static_cast<double>(kUnbounded) ? kUnbounded : static_cast<Nanoseconds>(ns);
}

// Packets sent before a rate was lowered are still on their way: while they
// are, the stream is as bursty as the old rate made it.
double TreeController::HeldRate(uint32_t session) const {
  double rate = m_trees[session].GetRate();
  for (const auto& held : m_heldRates[session]) rate = std::max(rate, held.second);
  return rate;
}

void TreeController::Reserve(uint32_t arc, double rate, int streams) {
  m_network.m_arcs[arc].reserved += rate;
  m_network.m_arcs[arc].streams += streams;
}

void TreeController::CheckGraft(const SessionTree& tree, const GraftQuery& query,
                                const Graft& graft) const {
  auto refuse = [&](const std::string& why) {
    std::ostringstream message;
    message << "routing \"" << m_routing.Name() << "\" returned a graft for node " << query.node
            << " that " << why << ":";
    for (uint32_t v : graft) message << " " << v;
    throw std::logic_error(message.str());
  };
  if (graft.empty() || graft.back() != query.node) refuse("does not end at the joining node");
  if (graft.front() >= m_network.GetNodeCount() || !tree.Contains(graft.front())) {
    refuse("does not start in the tree");
  }
  Nanoseconds delay = tree.DelayTo(graft.front());
  int64_t hops = tree.HopsTo(graft.front());
  std::vector<bool> seen(m_network.GetNodeCount(), false);
  for (size_t i = 1; i < graft.size(); ++i) {
    if (graft[i] >= m_network.GetNodeCount() || tree.Contains(graft[i]) || seen[graft[i]]) {
      refuse("goes through the tree or a node twice");
    }
    seen[graft[i]] = true;
    std::optional<uint32_t> link = m_network.FindLink(graft[i - 1], graft[i]);
    if (!link) refuse("follows a link the network does not have");
    if (!m_network.Accepts(*link, graft[i - 1], query.rate)) {
      refuse("overbooks a link or breaks the bounds of its streams");
    }
    delay += m_network.JoiningDelay(*link, graft[i - 1]);
    ++hops;
  }
  if (delay > query.delay || hops > query.hops) refuse("misses the delay or hop bound");
}

bool TreeController::Assess(bool commit) {
  std::vector<Network::ArcState>& arcs = m_network.m_arcs;
  for (uint32_t arc = 0; arc < arcs.size(); ++arc) {
    if (arcs[arc].reserved * 1000 > static_cast<double>(m_network.GetLink(arc / 2).bitRate)) {
      return false;
    }
  }
  // The links' bounds and the streams' spreads, from no spread up: each
  // round can only raise them, and a round that changes nothing has found
  // bounds that hold together.
  const double bits = m_network.GetPacketBits();
  const uint32_t n = m_network.GetNodeCount();
  std::vector<Nanoseconds> queue(arcs.size(), 0), spread(n, 0);
  std::vector<double> burst(arcs.size());
  std::vector<std::vector<uint32_t>> orders;
  for (const SessionTree& tree : m_trees) orders.push_back(tree.Nodes());
  bool settled = false;
  for (int round = 0; round < 64 && !settled; ++round) {
    for (uint32_t arc = 0; arc < arcs.size(); ++arc) burst[arc] = arcs[arc].drainingBurst;
    for (uint32_t session = 0; session < m_trees.size(); ++session) {
      const SessionTree& tree = m_trees[session];
      const double rate = HeldRate(session);
      if (!(rate > 0)) continue;  // a silent stream sends nothing
      const std::vector<uint32_t>& order = orders[session];
      spread[tree.m_source] = 0;
      for (size_t i = 1; i < order.size(); ++i) {
        const SessionTree::Entry& e = tree.m_entries[order[i]];
        const uint32_t arc = m_network.Arc(e.parentLink, e.parent);
        // kbit/s over ns: 1e-6 bits.
        burst[arc] += bits + rate * static_cast<double>(spread[e.parent]) * 1e-6;
        spread[order[i]] = spread[e.parent] + queue[arc] - m_network.Transmission(e.parentLink);
      }
    }
    settled = true;
    for (uint32_t arc = 0; arc < arcs.size(); ++arc) {
      // ns-3 rounds each packet's time on the wire to the nanosecond: one
      // more for every packet the burst can hold.
      const double ns =
          std::ceil(burst[arc] * 1e9 / static_cast<double>(m_network.GetLink(arc / 2).bitRate)) +
          std::ceil(burst[arc] / bits);
      // Bounds past any run's length mean the streams feed each other
      // without end.
      if (ns >= static_cast<double>(kUnbounded)) return false;
      if (static_cast<Nanoseconds>(ns) != queue[arc]) settled = false;
      queue[arc] = std::max(queue[arc], static_cast<Nanoseconds>(ns));
    }
  }
  if (!settled) return false;

  std::vector<Nanoseconds> delay(n), slack(n);
  if (commit) {
    for (uint32_t arc = 0; arc < arcs.size(); ++arc) {
      arcs[arc].queue = queue[arc];
      arcs[arc].headroom = kUnbounded;
    }
  }
  for (uint32_t session = 0; session < m_trees.size(); ++session) {
    SessionTree& tree = m_trees[session];
    const std::vector<uint32_t>& order = orders[session];
    delay[tree.m_source] = m_network.SenderTransmission();
    spread[tree.m_source] = 0;
    slack[tree.m_source] = kUnbounded;
    for (size_t i = 1; i < order.size(); ++i) {
      const uint32_t v = order[i];
      const SessionTree::Entry& e = tree.m_entries[v];
      const uint32_t arc = m_network.Arc(e.parentLink, e.parent);
      delay[v] = delay[e.parent] + m_network.GetLink(e.parentLink).delay + queue[arc];
      spread[v] = spread[e.parent] + queue[arc] - m_network.Transmission(e.parentLink);
      slack[v] = e.member ? e.delayBound - delay[v] : kUnbounded;
      if (e.member && (slack[v] < 0 || e.hops > e.hopBound)) return false;
    }
    if (!commit) continue;
    // Children after parents: backwards, each node's slack becomes the least
    // of its subtree's, which is what more waiting on its link eats into.
    for (size_t i = order.size(); i-- > 1;) {
      const uint32_t v = order[i];
      SessionTree::Entry& e = tree.m_entries[v];
      e.delay = delay[v];
      e.spread = spread[v];
      slack[e.parent] = std::min(slack[e.parent], slack[v]);
      Nanoseconds& headroom = arcs[m_network.Arc(e.parentLink, e.parent)].headroom;
      headroom = std::min(headroom, slack[v]);
    }
    tree.m_entries[tree.m_source].delay = delay[tree.m_source];
  }
  return true;
}

void TreeController::ReleaseDrained(Nanoseconds now) {
  size_t kept = 0;
  for (const Drain& d : m_draining) {
    if (d.due <= now) {
      Reserve(d.arc, -d.rate, d.stream ? -1 : 0);
      m_network.m_arcs[d.arc].drainingBurst -= d.burst;
    } else {
      m_draining[kept++] = d;
    }
  }
  if (kept == m_draining.size()) return;
  m_draining.resize(kept);
  for (auto& held : m_heldRates) {
    held.erase(
        std::remove_if(held.begin(), held.end(), [now](const auto& h) { return h.first <= now; }),
        held.end());
  }
  Assess(true);
}

TreeChange TreeController::Join(const grouptrace::JoinRecord& join, Nanoseconds now) {
  ReleaseDrained(now);
  const auto node = static_cast<uint32_t>(join.node);
  SessionTree& tree = m_trees[static_cast<uint32_t>(join.session)];
  TreeChange change;
  change.rate = tree.GetRate();
  if (tree.IsMember(node)) return change;
  // A negative band (the generator allows such bounds) asks for nothing.
  const double band = std::max(join.band, 0.0);
  const double oldRate = tree.GetRate();
  const GraftQuery query{node, std::max(oldRate, band), DelayBound(join.delay), join.hops};
  std::optional<Graft> graft = m_routing.FindGraft(m_network, tree, query);
  if (!graft) return change;
  CheckGraft(tree, query, *graft);

  // Put the member in, then take it out again if any bound or capacity, of
  // this session or another, no longer holds.
  const SessionTree before = tree;
  const std::vector<Network::ArcState> arcsBefore = m_network.m_arcs;
  for (uint32_t v : tree.Nodes()) {
    if (v == tree.m_source) continue;
    const SessionTree::Entry& e = tree.m_entries[v];
    Reserve(m_network.Arc(e.parentLink, e.parent), query.rate - oldRate, 0);
  }
  for (size_t i = 1; i < graft->size(); ++i) {
    const uint32_t parent = (*graft)[i - 1];
    const uint32_t node = (*graft)[i];
    const uint32_t link = *m_network.FindLink(parent, node);
    Reserve(m_network.Arc(link, parent), query.rate, 1);
    SessionTree::Entry& e = tree.m_entries[node];
    e.inTree = true;
    e.parent = parent;
    e.parentLink = link;
    e.hops = tree.m_entries[parent].hops + 1;
    tree.m_entries[parent].children.push_back(node);
    ++tree.m_linkCount;
    change.newLinks.push_back(link);
  }
  SessionTree::Entry& member = tree.m_entries[node];
  member.member = true;
  member.band = band;
  member.delayBound = query.delay;
  member.hopBound = join.hops;
  tree.m_bands.insert(band);
  if (!Assess(false)) {
    tree = before;
    m_network.m_arcs = arcsBefore;
    change.newLinks.clear();
    return change;
  }
  Assess(true);
  change.admitted = true;
  change.touched = *graft;
  change.pathDelay = tree.DelayTo(node);
  change.pathHops = tree.HopsTo(node);
  change.rate = tree.GetRate();
  return change;
}

TreeChange TreeController::Leave(const grouptrace::LeaveRecord& leave, Nanoseconds now) {
  ReleaseDrained(now);
  const auto session = static_cast<uint32_t>(leave.session);
  const auto node = static_cast<uint32_t>(leave.node);
  SessionTree& tree = m_trees[session];
  TreeChange change;
  change.rate = tree.GetRate();
  if (!tree.IsMember(node)) return change;
  // What was sent before the leave has left the network once the slowest
  // bound of the session has passed.
  Nanoseconds longest = 0;
  for (uint32_t v : tree.Nodes()) longest = std::max(longest, tree.DelayTo(v));
  const Nanoseconds due = now + longest;
  const double oldRate = tree.GetRate();
  const double heldRate = HeldRate(session);
  tree.m_entries[node].member = false;
  tree.m_bands.erase(tree.m_bands.find(tree.m_entries[node].band));
  uint32_t v = node;
  while (v != tree.m_source && !tree.m_entries[v].member && tree.m_entries[v].children.empty()) {
    SessionTree::Entry& e = tree.m_entries[v];
    const uint32_t arc = m_network.Arc(e.parentLink, e.parent);
    // The stream's packets on their way keep the burst they had.
    const double burst =
        heldRate > 0 ? m_network.GetPacketBits() +
                           heldRate * static_cast<double>(tree.m_entries[e.parent].spread) * 1e-6
                     : 0;
    m_draining.push_back(Drain{due, session, arc, oldRate, true, burst});
    m_network.m_arcs[arc].drainingBurst += burst;
    std::vector<uint32_t>& siblings = tree.m_entries[e.parent].children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), v));
    --tree.m_linkCount;
    change.prunedNodes.push_back(v);
    uint32_t parent = e.parent;
    e = SessionTree::Entry{};
    v = parent;
  }
  const double rate = tree.GetRate();
  if (rate < oldRate) {
    for (uint32_t u : tree.Nodes()) {
      if (u == tree.m_source) continue;
      const SessionTree::Entry& e = tree.m_entries[u];
      m_draining.push_back(
          Drain{due, session, m_network.Arc(e.parentLink, e.parent), oldRate - rate, false, 0});
    }
    m_heldRates[session].emplace_back(due, oldRate);
  }
  Assess(true);
  change.touched = change.prunedNodes;
  if (!change.prunedNodes.empty()) change.touched.push_back(v);
  change.rate = rate;
  return change;
}

}  // namespace grouptrace_ns3
