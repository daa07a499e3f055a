// The classic model with joins placed by locality: the same draws in the same
// places as without, and each join's node where its affinity puts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <variant>
#include <vector>

#include "generator/creation.h"
#include "placement_test_support.h"

namespace grouptrace {
namespace {

struct Events {
  std::vector<TraceEvent> all;
  void header(const TraceHeader& e) { all.emplace_back(e); }
  void sessionEntry(const SessionEntry& e) { all.emplace_back(e); }
  void phase(const PhaseStart& e) { all.emplace_back(e); }
  void join(const JoinRecord& e) { all.emplace_back(e); }
  void leave(const LeaveRecord& e) { all.emplace_back(e); }
  void summary(const TraceSummary& e) { all.emplace_back(e); }
};

std::vector<TraceEvent> run(const Parameters& p, SEED_type seed,
                            const std::optional<Locality>& locality) {
  Creation creation(p, locality);
  Events events;
  creation.run(seed, events);
  return events.all;
}

// Hop distances from every node to the nearest of `tree`.
std::vector<int> distances(const placement::testing::Network& net, const std::set<NODEID>& tree) {
  std::vector<int> d(static_cast<std::size_t>(net.nodes()), -1);
  std::vector<NODEID> queue(tree.begin(), tree.end());
  for (const NODEID t : tree) d[t] = 0;
  for (std::size_t q = 0; q < queue.size(); ++q) {
    for (const NODEID w : net.view().of(queue[q])) {
      if (d[w] < 0) {
        d[w] = d[queue[q]] + 1;
        queue.push_back(w);
      }
    }
  }
  return d;
}

// An affinity strong enough that a join all but surely takes the nearest
// distance (or, negative, the farthest) that a non-member has, as a search
// over the trace's own trees finds it; and every record but the nodes the same
// as the trace without placement, both orders of requests.
TEST(PlacedRun, JoinsGoWhereTheirAffinityPutsThemAndMoveNoOtherDraw) {
  const placement::testing::Network net = placement::testing::preferential(150, 1, 4);
  for (const int ordered : {0, 1}) {
    Parameters p{150, 4, 1200, 0, 25, 1, 512, 64, 5, 50, 1, 6, ordered};
    const std::vector<TraceEvent> uniform = run(p, 9, std::nullopt);
    for (const double beta : {40.0, -40.0}) {
      const std::vector<TraceEvent> placed = run(p, 9, Locality{net.view(), beta});
      ASSERT_EQ(placed.size(), uniform.size());
      std::vector<std::set<NODEID>> trees;
      int nodesMoved = 0;
      for (std::size_t i = 0; i < placed.size(); ++i) {
        ASSERT_EQ(placed[i].index(), uniform[i].index()) << "event " << i;
        if (const auto* s = std::get_if<SessionEntry>(&placed[i])) {
          ASSERT_EQ(*s, std::get<SessionEntry>(uniform[i]));
          trees.push_back({s->source});
        } else if (const auto* j = std::get_if<JoinRecord>(&placed[i])) {
          JoinRecord same = std::get<JoinRecord>(uniform[i]);
          nodesMoved += same.node != j->node ? 1 : 0;
          same.node = j->node;
          ASSERT_EQ(*j, same) << "event " << i;
          std::set<NODEID>& tree = trees[j->session];
          const std::vector<int> d = distances(net, tree);
          int want = beta > 0 ? net.nodes() : 0;
          for (NODEID v = 0; v < net.nodes(); ++v) {
            if (d[v] > 0) want = beta > 0 ? std::min(want, d[v]) : std::max(want, d[v]);
          }
          ASSERT_EQ(d[j->node], want) << "event " << i << ", beta " << beta;
          tree.insert(j->node);
        } else if (const auto* l = std::get_if<LeaveRecord>(&placed[i])) {
          ASSERT_EQ(l->session, std::get<LeaveRecord>(uniform[i]).session) << "event " << i;
          ASSERT_EQ(trees[l->session].erase(l->node), 1u) << "event " << i;
        } else {
          ASSERT_EQ(placed[i], uniform[i]) << "event " << i;
        }
      }
      EXPECT_GT(nodesMoved, 100) << "beta " << beta;
    }
  }
}

TEST(PlacedRun, RefusesANetworkOfAnotherSize) {
  const placement::testing::Network net = placement::testing::ring(12);
  const Parameters p{10, 2, 10, 0, 3, 1, 512, 64, 5, 50, 1, 6, 0};
  try {
    Creation creation(p, Locality{net.view(), 1});
    FAIL() << "a network of 12 nodes ran with 10";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "the network has 12 nodes and the parameters 10");
  }
}

}  // namespace
}  // namespace grouptrace
