// The study's admission control: which path a join gets, what it reserves,
// what a leave gives back, and that a plugged-in algorithm cannot corrupt it.

#include "qos-tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

using namespace grouptrace_ns3;

namespace {

// 0 - 1 - 2 - 3 at 1 ms a link, and 0 - 3 directly at 10 ms; 3 - 4 at 1 ms.
Network Kite(double capacity = 1000) {
  Network n(5);
  n.AddLink(0, 1, capacity, 1);
  n.AddLink(1, 2, capacity, 1);
  n.AddLink(2, 3, capacity, 1);
  n.AddLink(0, 3, capacity, 10);
  n.AddLink(3, 4, capacity, 1);
  return n;
}

std::optional<Graft> Route(const TreeRouting& r, const Network& n, const SessionTree& t,
                           uint32_t node, double band, double delay, int32_t hops) {
  return r.FindGraft(n, t, JoinRequest{node, band, delay, hops});
}

TEST(QosTreeRouting, LeastDelayPathWithinTheHopBound) {
  Network n = Kite();
  SessionTree tree(5, 0);
  ShortestDelayRouting delay;
  MinimumHopRouting hops;
  // The fastest path has three hops; with a bound of one the slow direct link
  // is the only feasible one, and with a delay bound below it nothing is.
  EXPECT_EQ(Route(delay, n, tree, 3, 10, 50, 3), (Graft{0, 1, 2, 3}));
  EXPECT_EQ(Route(delay, n, tree, 3, 10, 50, 1), (Graft{0, 3}));
  EXPECT_EQ(Route(delay, n, tree, 3, 10, 9, 1), std::nullopt);
  EXPECT_EQ(Route(delay, n, tree, 4, 10, 50, 2), (Graft{0, 3, 4}));
  // Fewest hops takes the direct link, and is blocked where only the longer
  // path meets the delay bound.
  EXPECT_EQ(Route(hops, n, tree, 3, 10, 50, 3), (Graft{0, 3}));
  EXPECT_EQ(Route(hops, n, tree, 3, 10, 5, 3), std::nullopt);
  EXPECT_EQ(Route(hops, n, tree, 4, 10, 50, 1), std::nullopt);
  // A link without room for the band is not used.
  Network thin = Kite();
  thin.Reserve(1, 995);
  EXPECT_EQ(Route(delay, thin, tree, 3, 10, 50, 3), (Graft{0, 3}));
  EXPECT_EQ(Route(delay, thin, tree, 3, 5, 50, 3), (Graft{0, 1, 2, 3}));
}

// A plugged-in algorithm that returns whatever it was told to.
class Fixed : public TreeRouting {
 public:
  explicit Fixed(Graft g) : graft(std::move(g)) {}
  std::string Name() const override { return "fixed"; }
  std::optional<Graft> FindGraft(const Network&, const SessionTree&,
                                 const JoinRequest&) const override {
    return graft;
  }
  Graft graft;
};

TEST(QosTreeController, RefusesGraftsThatBreakTheTreeOrTheBounds) {
  struct Case {
    Graft graft;
    JoinRequest join;
  } cases[] = {
      {{1, 2}, {2, 1, 50, 5}},           // does not start in the tree
      {{0, 1}, {2, 1, 50, 5}},           // does not end at the joining node
      {{0, 2}, {2, 1, 50, 5}},           // no link 0-2
      {{0, 1, 2, 1, 2}, {2, 1, 50, 9}},  // a node twice
      {{0, 3}, {3, 1, 5, 5}},            // misses the delay bound
      {{0, 1, 2}, {2, 1, 50, 1}},        // misses the hop bound
      {{0, 1, 2}, {2, 2000, 50, 5}},     // overbooks
  };
  for (const Case& k : cases) {
    Network n = Kite();
    Fixed routing(k.graft);
    TreeController c(n, {0}, routing);
    EXPECT_THROW(c.Join(0, k.join), std::logic_error) << k.graft.size();
    EXPECT_EQ(n.GetLink(0).reserved, 0);
  }
  Network n = Kite();
  Fixed routing({0, 3, 4});
  TreeController c(n, {0}, routing);
  EXPECT_TRUE(c.Join(0, JoinRequest{4, 1, 50, 5}).admitted);
}

// The least delay over every simple path from a tree node through nodes not
// in the tree, by enumeration: what the baseline must find.
std::optional<double> BruteForceDelay(const Network& n, const SessionTree& t,
                                      const JoinRequest& j) {
  if (t.Contains(j.node)) {
    return t.DelayTo(j.node) <= j.delay && t.HopsTo(j.node) <= j.hops
               ? std::optional<double>(t.DelayTo(j.node))
               : std::nullopt;
  }
  std::optional<double> best;
  std::vector<bool> used(n.GetNodeCount(), false);
  std::function<void(uint32_t, double, int64_t)> walk = [&](uint32_t u, double d, int64_t h) {
    if (d > j.delay || h > j.hops) return;
    if (u == j.node) {
      if (!best || d < *best) best = d;
      return;
    }
    for (const auto& [v, id] : n.Adjacent(u)) {
      if (t.Contains(v) || used[v] || n.Residual(id) < j.band) continue;
      used[v] = true;
      walk(v, d + n.GetLink(id).delay, h + 1);
      used[v] = false;
    }
  };
  for (uint32_t s : t.Nodes()) walk(s, t.DelayTo(s), t.HopsTo(s));
  return best;
}

TEST(QosTreeController, RandomWorkloadsKeepTheBookkeepingExact) {
  std::mt19937 rng(7);
  int admitted = 0, blocked = 0;
  for (int round = 0; round < 30; ++round) {
    const uint32_t nodes = 8;
    Network n(nodes);
    for (uint32_t i = 0; i < nodes; ++i) n.AddLink(i, (i + 1) % nodes, 600, 1 + rng() % 9);
    for (int k = 0; k < 6; ++k) {
      uint32_t a = rng() % nodes, b = rng() % nodes;
      if (a != b && !n.FindLink(a, b)) n.AddLink(a, b, 600, 1 + rng() % 9);
    }
    ShortestDelayRouting delay;
    MinimumHopRouting hops;
    const TreeRouting& routing = round % 2 ? static_cast<const TreeRouting&>(hops) : delay;
    std::vector<uint32_t> sources = {0, 3};
    TreeController c(n, sources, routing);
    std::map<std::pair<uint32_t, uint32_t>, JoinRequest> members;
    // (session, node) -> the link it hangs on and the band reserved there.
    std::map<std::pair<uint32_t, uint32_t>, std::pair<uint32_t, double>> charged;
    for (int step = 0; step < 200; ++step) {
      uint32_t s = rng() % 2;
      uint32_t v = rng() % nodes;
      if (v == sources[s]) continue;
      if (c.IsMember(s, v)) {
        for (uint32_t pruned : c.Leave(s, v).prunedNodes) charged.erase({s, pruned});
        members.erase({s, v});
      } else {
        JoinRequest j{v, static_cast<double>(50 + rng() % 300), static_cast<double>(5 + rng() % 20),
                      static_cast<int32_t>(1 + rng() % 5)};
        std::optional<double> best = BruteForceDelay(n, c.GetTree(s), j);
        TreeChange change = c.Join(s, j);
        if (&routing == &delay) {
          ASSERT_EQ(change.admitted, best.has_value()) << "round " << round << " step " << step;
          if (best) {
            EXPECT_EQ(change.pathDelay, *best);
          }
        } else if (change.admitted) {
          EXPECT_TRUE(best.has_value());
        }
        if (change.admitted) members[{s, v}] = j;
        ++(change.admitted ? admitted : blocked);
        for (size_t i = 0; i < change.newLinks.size(); ++i) {
          charged[{s, change.touched[i + 1]}] = {change.newLinks[i], j.band};
        }
      }
      // Every link's reservation is what the trees through it hold, and every
      // member's tree path still meets what it asked for.
      std::vector<double> reserved(n.GetLinkCount(), 0);
      for (const auto& [key, link] : charged) reserved[link.first] += link.second;
      for (uint32_t t = 0; t < 2; ++t) {
        const SessionTree& tree = c.GetTree(t);
        for (uint32_t u : tree.Nodes()) {
          if (u == tree.GetSource()) continue;
          const Link& l = n.GetLink(tree.ParentLink(u));
          ASSERT_TRUE((l.a == u && l.b == tree.Parent(u)) || (l.b == u && l.a == tree.Parent(u)));
          ASSERT_TRUE(tree.IsMember(u) || !tree.Children(u).empty()) << "an unpruned leaf";
        }
      }
      for (const auto& [key, j] : members) {
        const SessionTree& tree = c.GetTree(key.first);
        ASSERT_TRUE(tree.IsMember(key.second));
        EXPECT_LE(tree.DelayTo(key.second), j.delay);
        EXPECT_LE(tree.HopsTo(key.second), j.hops);
      }
      for (uint32_t l = 0; l < n.GetLinkCount(); ++l) {
        ASSERT_EQ(n.GetLink(l).reserved, reserved[l]) << "link " << l;
        ASSERT_GE(n.Residual(l), 0);
      }
    }
    for (const auto& [key, j] : members) c.Leave(key.first, key.second);
    for (uint32_t l = 0; l < n.GetLinkCount(); ++l) EXPECT_EQ(n.GetLink(l).reserved, 0);
  }
  // The workload must exercise both verdicts for the checks above to mean much.
  EXPECT_GT(admitted, 500);
  EXPECT_GT(blocked, 500);
}

}  // namespace
