#pragma once

#include <cstdint>
#include <vector>

#include "grouptrace/topology.h"
#include "grouptrace/types.h"

namespace grouptrace::placement {

// One session's tree as placement sees it: every node's hop distance to the
// nearest node of the tree (the source and the members, which are at 0), and
// the non-members listed by that distance, so that a join can draw a distance
// first and then a node at it without looking at the whole network.
class TreeDistances {
 public:
  std::int32_t distance(NODEID v) const { return dist_[static_cast<std::size_t>(v)]; }
  // How many nodes are at distance k.
  std::int32_t count(std::int32_t k) const {
    return k <= top_ ? count_[static_cast<std::size_t>(k)] : 0;
  }
  // The non-members at distance k >= 1, in no particular order.
  std::vector<NODEID> nodesAt(std::int32_t k) const;
  // The greatest distance of any node; 0 when every node is in the tree.
  std::int32_t farthest() const { return top_; }

  // Joins placed so far: the index of the next join's draw within its class,
  // for a model whose joins have no index of their own.
  std::uint64_t joins = 0;

 private:
  friend class AffinityPlacement;
  // Moves v to distance `to`, one further than `via`.
  [[gnu::always_inline]] inline void move(NODEID v, std::int32_t to, NODEID via);
  bool listedAt(std::int32_t k, std::size_t i) const {
    const auto v = static_cast<std::size_t>(listed_[static_cast<std::size_t>(k)][i]);
    return dist_[v] == k && slot_[v] == static_cast<std::int32_t>(i);
  }
  // Drops the entries of list k that no longer stand for their node.
  void compact(std::int32_t k);

  // Apart, because the searches read the distances of many nodes and
  // nothing else of them.
  std::vector<std::int32_t> dist_;
  // The entry of the node's list that stands for it.
  std::vector<std::int32_t> slot_;
  // A neighbour one nearer, as the node last had: most often it still is,
  // which spares a leave the node's other links, hundreds at a hub.
  std::vector<NODEID> via_;
  std::vector<std::int32_t> count_;
  // A node that moves leaves its entry behind rather than filling the hole,
  // which would cost as much again as the move, and the list is compacted
  // now and then. Members (distance 0) are counted, not listed.
  std::vector<std::vector<NODEID>> listed_;
  std::int32_t top_ = 0;
};

// Placement by locality: a join takes a non-member v with probability
// proportional to exp(-beta h(v)), h(v) its distance to the tree. beta > 0
// clusters the members around the tree, beta < 0 spreads them, 0 is uniform.
//
// Distances are kept exact as members come and go: a join lowers only the
// distances of the nodes now nearer to it than to the rest of the tree, a
// leave raises only those of the nodes whose every shortest way to the tree
// ran through the member that left. Either touches a region around that node,
// never the whole network, and a join's choice reads the counts of the
// distance classes, a handful on networks that are small worlds.
//
// A run owns one, shared by its sessions' trees; it holds the scratch space of
// the updates, so one thread at a time.
class AffinityPlacement {
 public:
  // The network must outlive the placement; beta must be finite
  // (std::invalid_argument otherwise).
  AffinityPlacement(const Topology& network, double beta);

  // The distances of a tree made of its source alone.
  TreeDistances tree(NODEID source);

  // The node a join takes, which stays a non-member until join(): its
  // distance k drawn with `u` (uniform in [0, 1)) with probability
  // n_k exp(-beta k) / sum_j n_j exp(-beta j), n_k the non-members at k, then
  // one of those uniformly with `bits` (64 uniform bits). The tree must leave
  // out some node.
  NODEID choose(const TreeDistances& tree, double u, std::uint64_t bits) const;

  // The probability of each distance 0 .. farthest() under choose (0 at 0).
  std::vector<double> classLaw(const TreeDistances& tree) const;

  // v, a non-member, joins the tree.
  void join(TreeDistances& tree, NODEID v);
  // v, a member other than the last, leaves it.
  void leave(TreeDistances& tree, NODEID v);

  // The most a tree of a network of `nodes` nodes holds, for refusing a run
  // that would not fit in memory: three numbers a node, and lists up to four
  // times the nodes they stand for.
  static std::uint64_t treeBytes(NODEID nodes) {
    return 256 + static_cast<std::uint64_t>(nodes) * 28;
  }

 private:
  // The weight of distance k among non-empty classes lo .. hi, scaled so that
  // the likeliest distance has weight 1 per node: exp(-beta k) itself would
  // overflow or vanish for a large |beta| on a long network.
  double factor(std::int32_t k, std::int32_t lo, std::int32_t hi) const {
    return spread_[static_cast<std::size_t>(beta_ >= 0 ? k - lo : hi - k)];
  }
  // Fresh marks for the scratch stamps: an update's marks never match those
  // of an earlier one.
  std::uint32_t freshMarks();

  NODEID nodes_;
  const std::uint32_t* offsets_;
  const NODEID* neighbours_;
  double beta_;
  // exp(-|beta| j) for every distance j a node can have.
  std::vector<double> spread_;
  std::vector<std::uint32_t> stamp_;
  std::uint32_t epoch_ = 0;
  std::vector<std::int32_t> newDist_;
  std::vector<NODEID> queue_;
  // A node's neighbours picked out, as many as the largest degree.
  std::vector<NODEID> gathered_;
  // Nodes by tentative distance, for settling a leave's region in order.
  std::vector<std::vector<NODEID>> buckets_;
};

}  // namespace grouptrace::placement
