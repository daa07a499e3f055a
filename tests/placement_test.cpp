// Placement by locality: exact distances under any sequence of joins and
// leaves, and the law of a join's node, checked on fixed seeds at the tests'
// 0.1% level.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "dynamic/philox.h"
#include "placement/affinity.h"
#include "placement_test_support.h"

namespace grouptrace::placement {
namespace {

using testing::Network;

// Every node's distance to the nearest of `tree`, by a search from all of them.
std::vector<std::int32_t> distancesFrom(const Network& net, const std::vector<NODEID>& tree) {
  std::vector<std::int32_t> d(static_cast<std::size_t>(net->nodeCount()), -1);
  std::vector<NODEID> queue;
  for (const NODEID t : tree) {
    d[t] = 0;
    queue.push_back(t);
  }
  for (std::size_t q = 0; q < queue.size(); ++q) {
    for (const NODEID w : testing::neighboursOf(*net, queue[q])) {
      if (d[w] < 0) {
        d[w] = d[queue[q]] + 1;
        queue.push_back(w);
      }
    }
  }
  return d;
}

// The distances the tree keeps, and its classes, against a search from scratch.
void expectExact(const Network& net, const TreeDistances& t, const std::vector<NODEID>& tree,
                 const std::string& where) {
  const std::vector<std::int32_t> want = distancesFrom(net, tree);
  std::int32_t farthest = 0;
  for (NODEID v = 0; v < net->nodeCount(); ++v) {
    ASSERT_EQ(t.distance(v), want[v]) << where << ", node " << v;
    farthest = std::max(farthest, want[v]);
  }
  ASSERT_EQ(t.farthest(), farthest) << where;
  std::vector<int> listed(want.size(), 0);
  for (std::int32_t k = 1; k <= t.farthest(); ++k) {
    const std::vector<NODEID> at = t.nodesAt(k);
    ASSERT_EQ(at.size(), static_cast<std::size_t>(t.count(k))) << where << ", distance " << k;
    for (const NODEID v : at) {
      ASSERT_EQ(want[v], k) << where << ", node " << v;
      ++listed[v];
    }
  }
  ASSERT_EQ(t.count(0), static_cast<std::int32_t>(tree.size())) << where;
  for (NODEID v = 0; v < net->nodeCount(); ++v) {
    ASSERT_EQ(listed[v], want[v] > 0 ? 1 : 0) << where << ", node " << v;
  }
}

// Joins and leaves drawn at random on networks of several shapes: rings and
// paths, whose leaves raise distances along long stretches; a grid, where a
// node keeps its distance through one of several neighbours; a network with
// hubs; a star, whose leaves raise nothing but the leaf itself.
TEST(Placement, DistancesStayExactThroughJoinsAndLeaves) {
  const std::vector<std::pair<std::string, Network>> networks = {
      {"ring of 40", testing::ring(40)}, {"path of 30", testing::path(30)},
      {"grid 9x7", testing::grid(9, 7)}, {"hubs, 300 nodes", testing::preferential(300, 2, 5)},
      {"star of 20", testing::star(20)},
  };
  for (const auto& [name, net] : networks) {
    AffinityPlacement placement(*net, 0.5);
    dynamic::DrawStream draws(11, dynamic::Purpose::joinNode, 0);
    const NODEID source = static_cast<NODEID>(draws.nextBelow(net->nodeCount()));
    TreeDistances t = placement.tree(source);
    std::vector<NODEID> tree = {source};
    expectExact(net, t, tree, name + ", source alone");
    for (int step = 0; step < 400; ++step) {
      const bool leave =
          tree.size() > 1 &&
          (tree.size() == static_cast<std::size_t>(net->nodeCount()) || draws.nextBelow(2) == 0);
      if (leave) {
        const std::size_t i = 1 + draws.nextBelow(tree.size() - 1);
        placement.leave(t, tree[i]);
        tree.erase(tree.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        const NODEID v = placement.choose(t, draws.nextUniform(), draws.nextBits());
        ASSERT_NE(t.distance(v), 0) << name << ": a member was chosen";
        placement.join(t, v);
        tree.push_back(v);
      }
      expectExact(net, t, tree, name + ", step " + std::to_string(step));
    }
  }
}

// n_k exp(-beta k) / sum_j n_j exp(-beta j) for each distance k, for either
// sign, for 0, and for an affinity so strong that exp(-beta k) alone would
// leave the double range.
TEST(Placement, ClassLawWeighsEachDistanceByItsAffinity) {
  // A path of 8 with the source at node 2 and a member at 7: distances
  // 2 1 0 1 2 2 1 0, so classes 1 and 2 hold three nodes each.
  const Network net = testing::path(8);
  const struct {
    double beta;
    double p1;  // the law of distance 1; distance 2 takes the rest
  } cases[] = {
      {1, 1 / (1 + std::exp(-1.0))},
      {-1, 1 / (1 + std::exp(1.0))},
      {0, 0.5},
      {0.3, 1 / (1 + std::exp(-0.3))},
      {800, 1},
      {-800, 0},
  };
  for (const auto& c : cases) {
    AffinityPlacement placement(*net, c.beta);
    TreeDistances t = placement.tree(2);
    placement.join(t, 7);
    const std::vector<double> law = placement.classLaw(t);
    ASSERT_EQ(law.size(), 3u);
    EXPECT_EQ(law[0], 0);
    EXPECT_NEAR(law[1], c.p1, 1e-15) << "beta " << c.beta;
    EXPECT_NEAR(law[2], 1 - c.p1, 1e-15) << "beta " << c.beta;
  }
}

// Chi-square of the nodes a join takes against exp(-beta h(v)) / Z, node by
// node, so that the law of the class and the choice within it are both in
// question: 23 non-members, so the 0.1% critical value for 22 degrees of
// freedom.
TEST(Placement, JoinsFollowTheLawOfTheirDistance) {
  const Network net = testing::grid(5, 5);
  constexpr double kCritical = 48.268;
  constexpr int kDraws = 40000;
  for (const double beta : {1.0, -1.0, 0.0}) {
    AffinityPlacement placement(*net, beta);
    TreeDistances t = placement.tree(0);
    placement.join(t, 12);  // the centre
    std::vector<double> weight(25, 0);
    double total = 0;
    for (NODEID v = 0; v < 25; ++v) {
      if (t.distance(v) == 0) continue;
      weight[v] = std::exp(-beta * t.distance(v));
      total += weight[v];
    }
    std::vector<int> seen(25, 0);
    dynamic::DrawStream u(7, dynamic::Purpose::joinNode, 1);
    dynamic::DrawStream bits(7, dynamic::Purpose::band, 1);
    for (int i = 0; i < kDraws; ++i) ++seen[placement.choose(t, u.nextUniform(), bits.nextBits())];
    double chi2 = 0;
    for (NODEID v = 0; v < 25; ++v) {
      if (weight[v] == 0) {
        EXPECT_EQ(seen[v], 0) << "member " << v << " chosen, beta " << beta;
        continue;
      }
      const double expected = kDraws * weight[v] / total;
      chi2 += (seen[v] - expected) * (seen[v] - expected) / expected;
    }
    EXPECT_LT(chi2, kCritical) << "beta " << beta;
  }
}

TEST(Placement, RefusesAnAffinityThatIsNotANumber) {
  const Network net = testing::path(3);
  for (const double beta : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    EXPECT_THROW(AffinityPlacement(*net, beta), std::invalid_argument) << beta;
  }
}

}  // namespace
}  // namespace grouptrace::placement
