// The study's admission control: which path a join gets, what a session's
// stream reserves and for how long, which bounds a join must keep (its own and
// every other member's), and that a plugged-in algorithm cannot corrupt it.

#include "qos-tree.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

using namespace grouptrace_ns3;

namespace {

constexpr Nanoseconds kMs = 1000000;
// 1000-bit packets on 1 Mbit/s links: 1 ms on the wire.
constexpr uint32_t kBits = 1000;
constexpr uint64_t kMbit = 1000000;

// 0 - 1 - 2 - 3 at 1 ms a link, and 0 - 3 directly at 10 ms; 3 - 4 at 1 ms.
Network Kite() {
  Network n(5, kBits);
  n.AddLink(0, 1, kMbit, 1 * kMs);
  n.AddLink(1, 2, kMbit, 1 * kMs);
  n.AddLink(2, 3, kMbit, 1 * kMs);
  n.AddLink(0, 3, kMbit, 10 * kMs);
  n.AddLink(3, 4, kMbit, 1 * kMs);
  return n;
}

// 0 - 1 - 2 - 3, the first link 300 kbit/s, the others 1 Mbit/s, 1 ms each.
Network Line() {
  Network n(4, kBits);
  n.AddLink(0, 1, 300000, 1 * kMs);
  n.AddLink(1, 2, kMbit, 1 * kMs);
  n.AddLink(2, 3, kMbit, 1 * kMs);
  return n;
}

grouptrace::JoinRecord J(int32_t session, int32_t node, double band, double delayMs = 100,
                         int32_t hops = 9) {
  grouptrace::JoinRecord join;
  join.node = node;
  join.session = session;
  join.band = band;
  join.delay = delayMs;
  join.hops = hops;
  return join;
}

grouptrace::LeaveRecord L(int32_t session, int32_t node) {
  grouptrace::LeaveRecord leave;
  leave.node = node;
  leave.session = session;
  return leave;
}

TEST(QosTreeRouting, EachRoutingFindsItsPath) {
  struct Case {
    const char* routing;
    uint32_t node;
    double delayMs;
    int32_t hops;
    std::optional<Graft> graft;
  } cases[] = {
      // Least delay: 0-1-2-3 takes 6 ms, the direct link 11.
      {"delay", 3, 50, 3, Graft{0, 1, 2, 3}},
      {"delay", 3, 50, 1, Graft{0, 3}},  // the hop bound leaves the slow link
      {"delay", 3, 9, 1, std::nullopt},
      {"delay", 4, 50, 2, Graft{0, 3, 4}},
      // Fewest hops takes the direct link, and blocks where only the longer
      // path meets the delay bound.
      {"hops", 3, 50, 3, Graft{0, 3}},
      {"hops", 3, 8, 3, std::nullopt},
      // The shortest-path tree follows the least delay whatever the bounds,
      // and blocks when that path misses one.
      {"spt", 4, 50, 4, Graft{0, 1, 2, 3, 4}},
      {"spt", 4, 50, 3, std::nullopt},
      // Fewest new links, the least delay among those.
      {"cost", 4, 50, 9, Graft{0, 3, 4}},
      {"cost", 3, 10, 9, Graft{0, 1, 2, 3}},  // one link would take 11 ms
  };
  for (const Case& c : cases) {
    Network n = Kite();
    SessionTree tree(5, 0);
    auto routing = MakeTreeRouting(c.routing);
    // What the controller gives a fresh tree: the sender's link at 1 Gbit/s.
    TreeController controller(n, {0}, *routing);
    std::optional<Graft> graft = routing->FindGraft(
        n, controller.GetTree(0), GraftQuery{c.node, 100, DelayBound(c.delayMs), c.hops});
    EXPECT_EQ(graft, c.graft) << c.routing << " to " << c.node;
  }
  // A tree grows from where it is: with 0-1-2 in, 3 hangs below 2 (link 2),
  // but for fewest hops from the source, on the direct link 3.
  const std::map<std::string, uint32_t> graftLink = {
      {"delay", 2}, {"hops", 3}, {"spt", 2}, {"cost", 2}};
  for (const std::string& name : TreeRoutingNames()) {
    Network n = Kite();
    auto routing = MakeTreeRouting(name);
    TreeController c(n, {0}, *routing);
    ASSERT_TRUE(c.Join(J(0, 2, 100, 50, 9), 0).admitted) << name;
    EXPECT_EQ(c.Join(J(0, 3, 100, 50, 9), 0).newLinks, (std::vector<uint32_t>{graftLink.at(name)}))
        << name;
  }
  EXPECT_EQ(MakeTreeRouting("fastest"), nullptr);
}

// A bound is met when the path's delay or hops equal it: a member asking for
// exactly what its path gives is admitted, one asking for a nanosecond or a
// hop less is not given that path.
TEST(QosTreeRouting, BoundsAreMetWhenEqualled) {
  for (const std::string& name : TreeRoutingNames()) {
    Network n = Kite();
    auto routing = MakeTreeRouting(name);
    TreeController controller(n, {0}, *routing);
    const SessionTree& tree = controller.GetTree(0);
    const std::optional<Graft> loose = routing->FindGraft(n, tree, GraftQuery{4, 100, 50 * kMs, 9});
    ASSERT_TRUE(loose.has_value()) << name;
    Nanoseconds delay = tree.DelayTo(loose->front());
    for (size_t i = 1; i < loose->size(); ++i) {
      delay += n.JoiningDelay(*n.FindLink((*loose)[i - 1], (*loose)[i]), (*loose)[i - 1]);
    }
    const auto hops = static_cast<int32_t>(loose->size() - 1);
    EXPECT_EQ(routing->FindGraft(n, tree, GraftQuery{4, 100, delay, hops}), loose) << name;
    EXPECT_NE(routing->FindGraft(n, tree, GraftQuery{4, 100, delay - 1, hops}), loose) << name;
    EXPECT_NE(routing->FindGraft(n, tree, GraftQuery{4, 100, delay, hops - 1}), loose) << name;

    // Once in the tree, the node meets a bound equal to what it got.
    ASSERT_TRUE(controller.Join(J(0, 4, 100, 50, 9), 0).admitted) << name;
    const Nanoseconds got = tree.DelayTo(4);
    EXPECT_EQ(routing->FindGraft(n, tree, GraftQuery{4, 100, got, tree.HopsTo(4)}), Graft{4})
        << name;
    EXPECT_EQ(routing->FindGraft(n, tree, GraftQuery{4, 100, got - 1, tree.HopsTo(4)}),
              std::nullopt)
        << name;
  }
}

// A join must find room for the session's rate on every link its stream
// crosses, not only on the links it adds.
TEST(QosTreeController, TheRateIsHeldOnTheWholeTree) {
  Network n = Line();
  LeastDelayRouting routing;
  TreeController c(n, {0, 0}, routing);
  ASSERT_TRUE(c.Join(J(0, 2, 200), 0).admitted);  // 0-1-2 at 200
  ASSERT_TRUE(c.Join(J(1, 1, 80), 0).admitted);   // 0-1 at 80 more: 280 of 300
  EXPECT_EQ(n.Reserved(0, 0), 280);
  EXPECT_EQ(n.Reserved(1, 1), 200);
  // 2-3 has room for 250, the first link not for the 50 more it needs.
  EXPECT_FALSE(c.Join(J(0, 3, 250), 0).admitted);
  EXPECT_FALSE(c.Join(J(0, 1, 260), 0).admitted) << "a forwarder raising the rate";
  EXPECT_EQ(n.Reserved(0, 0), 280) << "a blocked join reserves nothing";
  EXPECT_EQ(c.GetTree(0).GetLinkCount(), 2u);
  // A band below the rate rides on it, and its new link carries the rate.
  ASSERT_TRUE(c.Join(J(0, 3, 20), 0).admitted);
  EXPECT_EQ(n.Reserved(2, 2), 200);
  EXPECT_EQ(c.GetTree(0).GetRate(), 200);

  // The other session leaves: its 80 come back once what it sent has
  // arrived, its largest bound later; until then a join cannot take them.
  const Nanoseconds left = 5 * kMs;
  c.Leave(L(1, 1), left);
  EXPECT_EQ(n.Reserved(0, 0), 280);
  EXPECT_FALSE(c.Join(J(0, 2, 0), left).admitted);  // already a member: nothing
  EXPECT_FALSE(c.Join(J(0, 1, 250), left + 1).admitted);
  EXPECT_TRUE(c.Join(J(0, 1, 250), left + 10 * kMs).admitted);
  EXPECT_EQ(n.Reserved(0, 0), 250);
  EXPECT_EQ(n.Reserved(2, 2), 250);

  // The largest band leaves: the rate falls to the next, late as well.
  const Nanoseconds later = 100 * kMs;
  EXPECT_EQ(c.Leave(L(0, 1), later).rate, 200);
  EXPECT_EQ(n.Reserved(0, 0), 250);
  c.Leave(L(0, 3), later + 1 * kMs);  // prunes 2-3
  c.Leave(L(0, 2), later + 1 * kMs);  // the last member: nothing is left
  EXPECT_EQ(c.PacketInterval(0), 0);
  c.Join(J(1, 3, 1, 1, 1), later + kMs * 1000);  // blocked, but lets the drains end
  for (uint32_t link = 0; link < 3; ++link) {
    EXPECT_EQ(n.Reserved(link, n.GetLink(link).a), 0) << link;
    EXPECT_EQ(n.Streams(link, n.GetLink(link).a), 0u) << link;
  }
}

// A member's bound is the propagation and the links' bounds on its path; a
// link's bound grows with every stream on it and with how bunched those
// streams arrive. A join that would break any member's bound, its own or
// another session's, or overbook a link, is blocked.
TEST(QosTreeController, EveryMemberKeepsItsDelayBound) {
  struct Case {
    double otherBand;   // a second session from node 0 to node 1
    double firstDelay;  // ms, the bound of session 0's member at node 2
    bool admitted;      // the second session's join
  } cases[] = {
      // Alone, node 2 is 2 ms of propagation and 2 ms of transmission away
      // (and the sender's link, 1 us): 4.001 ms, and 4 ns for ns-3's rounding
      // of each packet's time. A second stream on 0-1 doubles its bound there,
      // and spreads session 0's packets by 1 ms, which at 50 kbit/s is 50 bits
      // more of burst on 1-2: 5.051 ms.
      {100, 5.06, true},
      {100, 5.05, false},
      {950, 50, true},
      {951, 50, false},  // 1001 kbit/s on 0-1
  };
  for (const Case& k : cases) {
    Network n(3, kBits);
    n.AddLink(0, 1, kMbit, 1 * kMs);
    n.AddLink(1, 2, kMbit, 1 * kMs);
    LeastDelayRouting routing;
    TreeController c(n, {0, 0}, routing);
    ASSERT_TRUE(c.Join(J(0, 2, 50, k.firstDelay), 0).admitted) << k.firstDelay;
    EXPECT_EQ(c.GetTree(0).DelayTo(2), 4001004);
    EXPECT_EQ(c.Join(J(1, 1, k.otherBand), 0).admitted, k.admitted)
        << k.otherBand << " " << k.firstDelay;
    EXPECT_EQ(c.GetTree(0).DelayTo(2), k.admitted ? 5051005 : 4001004);
  }
}

// A plugged-in algorithm that returns whatever it was told to.
class Fixed : public TreeRouting {
 public:
  explicit Fixed(Graft g) : graft(std::move(g)) {}
  std::string Name() const override { return "fixed"; }
  std::optional<Graft> FindGraft(const Network&, const SessionTree&,
                                 const GraftQuery&) const override {
    return graft;
  }
  Graft graft;
};

TEST(QosTreeController, RefusesGraftsThatBreakTheTreeOrTheBounds) {
  struct Case {
    Graft graft;
    grouptrace::JoinRecord join;
  } cases[] = {
      {{1, 2}, J(0, 2, 1, 50, 5)},           // does not start in the tree
      {{0, 1}, J(0, 2, 1, 50, 5)},           // does not end at the joining node
      {{0, 2}, J(0, 2, 1, 50, 5)},           // no link 0-2
      {{0, 1, 2, 1, 2}, J(0, 2, 1, 50, 9)},  // a node twice
      {{0, 3}, J(0, 3, 1, 5, 5)},            // misses the delay bound
      {{0, 1, 2}, J(0, 2, 1, 50, 1)},        // misses the hop bound
      {{0, 1, 2}, J(0, 2, 2000, 50, 5)},     // overbooks
  };
  for (const Case& k : cases) {
    Network n = Kite();
    Fixed routing(k.graft);
    TreeController c(n, {0}, routing);
    EXPECT_THROW(c.Join(k.join, 0), std::logic_error) << k.graft.size();
    EXPECT_EQ(n.Reserved(0, 0), 0);
  }
  Network n = Kite();
  Fixed routing({0, 3, 4});
  TreeController c(n, {0}, routing);
  EXPECT_TRUE(c.Join(J(0, 4, 1, 50, 5), 0).admitted);
}

// The least bound over every simple path from a tree node through nodes not
// in the tree and arcs that accept the stream, by enumeration: what the
// least-delay routing must find.
std::optional<Nanoseconds> BruteForceDelay(const Network& n, const SessionTree& t,
                                           const GraftQuery& q) {
  if (t.Contains(q.node)) {
    return t.DelayTo(q.node) <= q.delay && t.HopsTo(q.node) <= q.hops
               ? std::optional<Nanoseconds>(t.DelayTo(q.node))
               : std::nullopt;
  }
  std::optional<Nanoseconds> best;
  std::vector<bool> used(n.GetNodeCount(), false);
  std::function<void(uint32_t, Nanoseconds, int64_t)> walk = [&](uint32_t u, Nanoseconds d,
                                                                 int64_t h) {
    if (d > q.delay || h > q.hops) return;
    if (u == q.node) {
      if (!best || d < *best) best = d;
      return;
    }
    for (const auto& [v, id] : n.Adjacent(u)) {
      if (t.Contains(v) || used[v] || !n.Accepts(id, u, q.rate)) continue;
      used[v] = true;
      walk(v, d + n.JoiningDelay(id, u), h + 1);
      used[v] = false;
    }
  };
  for (uint32_t s : t.Nodes()) walk(s, t.DelayTo(s), t.HopsTo(s));
  return best;
}

// Random joins and leaves over every routing: the reservations are what the
// trees hold, every member keeps what it asked for by the bound recomputed
// here from the trees alone, and the least-delay routing is exact.
TEST(QosTreeController, RandomWorkloadsKeepTheBookkeepingExact) {
  std::mt19937 rng(7);
  int admitted = 0, blocked = 0;
  const std::vector<std::string> names = TreeRoutingNames();
  for (int round = 0; round < 40; ++round) {
    const uint32_t nodes = 8;
    Network n(nodes, kBits);
    for (uint32_t i = 0; i < nodes; ++i)
      n.AddLink(i, (i + 1) % nodes, 600000, (1 + rng() % 9) * kMs);
    for (int k = 0; k < 6; ++k) {
      uint32_t a = rng() % nodes, b = rng() % nodes;
      if (a != b && !n.FindLink(a, b)) n.AddLink(a, b, 600000, (1 + rng() % 9) * kMs);
    }
    auto routing = MakeTreeRouting(names[round % names.size()]);
    const std::vector<uint32_t> sources = {0, 3, 5};
    TreeController c(n, sources, *routing);
    Nanoseconds now = 0;
    for (int step = 0; step < 150; ++step) {
      // A second apart: what a leave gave back is free at the next request.
      now += 1000 * kMs;
      uint32_t s = rng() % sources.size();
      uint32_t v = rng() % nodes;
      if (v == sources[s]) continue;
      if (c.IsMember(s, v)) {
        c.Leave(L(s, v), now);
        continue;
      }
      const double band = 20.0 + rng() % 200;
      const double delay = 5.0 + rng() % 40;
      const auto hops = static_cast<int32_t>(1 + rng() % 5);
      const grouptrace::JoinRecord j =
          J(static_cast<int32_t>(s), static_cast<int32_t>(v), band, delay, hops);
      const double rate = std::max(c.GetTree(s).GetRate(), j.band);
      // The drains end at this request, before the routing looks.
      c.Join(J(static_cast<int32_t>(s), static_cast<int32_t>(v), -1, -1, 0), now);
      const GraftQuery query{v, rate, DelayBound(j.delay), j.hops};
      std::optional<Nanoseconds> best = BruteForceDelay(n, c.GetTree(s), query);
      std::optional<Graft> graft = routing->FindGraft(n, c.GetTree(s), query);
      if (routing->Name() == "delay") {
        ASSERT_EQ(graft.has_value(), best.has_value()) << "round " << round << " step " << step;
        if (graft) {
          Nanoseconds d = c.GetTree(s).DelayTo(graft->front());
          for (size_t i = 1; i < graft->size(); ++i) {
            d += n.JoiningDelay(*n.FindLink((*graft)[i - 1], (*graft)[i]), (*graft)[i - 1]);
          }
          EXPECT_EQ(d, *best) << "round " << round << " step " << step;
        }
      }
      TreeChange change = c.Join(j, now);
      if (!graft) {
        ASSERT_FALSE(change.admitted) << "no path, yet admitted";
      }
      ++(change.admitted ? admitted : blocked);

      std::vector<double> reserved(2 * n.GetLinkCount(), 0);
      std::vector<uint32_t> streams(2 * n.GetLinkCount(), 0);
      for (uint32_t t = 0; t < sources.size(); ++t) {
        const SessionTree& tree = c.GetTree(t);
        for (uint32_t u : tree.Nodes()) {
          if (u == tree.GetSource()) continue;
          reserved[n.Arc(tree.ParentLink(u), tree.Parent(u))] += tree.GetRate();
          ++streams[n.Arc(tree.ParentLink(u), tree.Parent(u))];
          ASSERT_TRUE(tree.IsMember(u) || !tree.Children(u).empty()) << "an unpruned leaf";
        }
      }
      for (uint32_t link = 0; link < n.GetLinkCount(); ++link) {
        for (uint32_t from : {n.GetLink(link).a, n.GetLink(link).b}) {
          const uint32_t arc = n.Arc(link, from);
          ASSERT_EQ(n.Reserved(link, from), reserved[arc]) << "link " << link;
          ASSERT_EQ(n.Streams(link, from), streams[arc]) << "link " << link;
          ASSERT_LE(reserved[arc] * 1000, n.GetLink(link).bitRate);
        }
      }
      // A link's bound is at least a packet of every stream on it, and every
      // member keeps its bounds.
      for (uint32_t t = 0; t < sources.size(); ++t) {
        const SessionTree& tree = c.GetTree(t);
        for (uint32_t u : tree.Nodes()) {
          if (u == tree.GetSource()) continue;
          const uint32_t link = tree.ParentLink(u);
          ASSERT_GE(tree.DelayTo(u),
                    tree.DelayTo(tree.Parent(u)) + n.GetLink(link).delay +
                        streams[n.Arc(link, tree.Parent(u))] * n.Transmission(link));
          if (tree.IsMember(u)) {
            ASSERT_LE(tree.DelayTo(u), tree.DelayBoundOf(u))
                << "round " << round << " step " << step;
          }
        }
      }
    }
  }
  // The workload must exercise both verdicts for the checks above to mean much.
  EXPECT_GT(admitted, 500);
  EXPECT_GT(blocked, 500);
}

}  // namespace
