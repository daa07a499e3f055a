#include "placement/affinity.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "dynamic/portable_math.h"

namespace grouptrace::placement {
namespace {

constexpr std::int32_t kFar = std::numeric_limits<std::int32_t>::max();

std::size_t ix(NODEID v) {
  return static_cast<std::size_t>(v);
}

// A list is compacted once it holds more than four entries a node, and 8
// more, so that a list of a few nodes is not compacted at every move. The
// work of compacting is then a third of the moves that left the entries
// behind, and a draw from the list is taken at least a fourth of the time.
constexpr std::size_t kEntriesPerNode = 4;
constexpr std::size_t kSlack = 8;

}  // namespace

void TreeDistances::move(NODEID v, std::int32_t to, NODEID via) {
  const std::int32_t from = dist_[ix(v)];
  // From here v's old entry no longer stands for it, its distance being
  // another, so a compaction of its old list drops it.
  dist_[ix(v)] = to;
  via_[ix(v)] = via;
  const std::int32_t left = --count_[ix(from)];
  if (from > 0 &&
      listed_[ix(from)].size() > kEntriesPerNode * static_cast<std::size_t>(left) + kSlack) {
    compact(from);
  }
  if (ix(to) >= count_.size()) {
    count_.resize(ix(to) + 1, 0);
    listed_.resize(ix(to) + 1);
  }
  ++count_[ix(to)];
  if (to > 0) {
    std::vector<NODEID>& into = listed_[ix(to)];
    slot_[ix(v)] = static_cast<std::int32_t>(into.size());
    into.push_back(v);
  } else {
    slot_[ix(v)] = -1;
  }
  // Only the class v left can have emptied, and only its emptying can lower
  // the farthest distance.
  if (to > top_) {
    top_ = to;
  } else if (left == 0 && from == top_) {
    while (top_ > 0 && count_[ix(top_)] == 0) --top_;
  }
}

void TreeDistances::compact(std::int32_t k) {
  std::vector<NODEID>& list = listed_[ix(k)];
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!listedAt(k, i)) continue;
    const NODEID v = list[i];
    list[kept] = v;
    slot_[ix(v)] = static_cast<std::int32_t>(kept);
    ++kept;
  }
  list.resize(kept);
}

std::vector<NODEID> TreeDistances::nodesAt(std::int32_t k) const {
  std::vector<NODEID> nodes;
  if (k < 1 || k > top_) return nodes;
  for (std::size_t i = 0; i < listed_[ix(k)].size(); ++i) {
    if (listedAt(k, i)) nodes.push_back(listed_[ix(k)][i]);
  }
  return nodes;
}

AffinityPlacement::AffinityPlacement(const Topology& network, double beta)
    : nodes_(network.nodeCount()),
      offsets_(network.adjacencyOffsets().data()),
      neighbours_(network.neighbours().data()),
      beta_(beta),
      stamp_(static_cast<std::size_t>(nodes_), 0),
      newDist_(stamp_.size(), kFar),
      // A leave lists its region, then the open part of it again.
      queue_(2 * stamp_.size()) {
  if (!std::isfinite(beta)) throw std::invalid_argument("the affinity must be a finite number");
  // A search from node 0 bounds every distance a node can have to a tree
  // (the network is in one piece): at most the diameter, which is at most
  // twice node 0's farthest distance.
  const TreeDistances probe = tree(0);
  const auto bound = static_cast<std::int32_t>(
      std::min<std::int64_t>(2 * static_cast<std::int64_t>(probe.top_), nodes_));
  spread_.resize(ix(bound) + 1);
  for (std::int32_t j = 0; j <= bound; ++j) {
    spread_[ix(j)] = dynamic::portable::exp(-std::fabs(beta) * j);
  }
  // A leave's tentative distances are at most one past the bound.
  buckets_.resize(ix(bound) + 2);
  std::uint32_t degree = 0;
  for (NODEID v = 0; v < nodes_; ++v) degree = std::max(degree, offsets_[v + 1] - offsets_[v]);
  gathered_.resize(degree);
}

TreeDistances AffinityPlacement::tree(NODEID source) {
  TreeDistances t;
  const auto n = static_cast<std::size_t>(nodes_);
  t.dist_.assign(n, kFar);
  t.slot_.assign(n, -1);
  t.via_.assign(n, source);
  t.dist_[ix(source)] = 0;
  std::vector<NODEID> order(1, source);
  for (std::size_t q = 0; q < order.size(); ++q) {
    const NODEID x = order[q];
    const std::int32_t next = t.dist_[ix(x)] + 1;
    for (std::uint32_t e = offsets_[x]; e < offsets_[x + 1]; ++e) {
      const NODEID w = neighbours_[e];
      if (t.dist_[ix(w)] == kFar) {
        t.dist_[ix(w)] = next;
        t.via_[ix(w)] = x;
        order.push_back(w);
      }
    }
  }
  // `order` holds the reached nodes by increasing distance.
  t.top_ = t.dist_[ix(order.back())];
  t.count_.assign(ix(t.top_) + 1, 0);
  t.listed_.resize(ix(t.top_) + 1);
  t.count_[0] = 1;
  for (std::size_t q = 1; q < order.size(); ++q) {
    const NODEID v = order[q];
    std::vector<NODEID>& list = t.listed_[ix(t.dist_[ix(v)])];
    t.slot_[ix(v)] = static_cast<std::int32_t>(list.size());
    list.push_back(v);
    ++t.count_[ix(t.dist_[ix(v)])];
  }
  return t;
}

NODEID AffinityPlacement::choose(const TreeDistances& tree, double u, std::uint64_t bits) const {
  const std::int32_t hi = tree.top_;
  std::int32_t lo = 1;
  while (tree.count_[ix(lo)] == 0) ++lo;
  double total = 0;
  for (std::int32_t k = lo; k <= hi; ++k) total += tree.count_[ix(k)] * factor(k, lo, hi);
  const double target = u * total;
  double sum = 0;
  std::int32_t chosen = lo;
  for (std::int32_t k = lo; k <= hi; ++k) {
    const double w = tree.count_[ix(k)] * factor(k, lo, hi);
    // A class whose weight vanished beside the likeliest one is never taken,
    // not even by the rounding of the sums.
    if (w == 0) continue;
    chosen = k;
    sum += w;
    if (target < sum) break;
  }
  // An entry drawn from the list is taken if it stands for its node, else
  // another is drawn: each node of the class is as likely. The further draws
  // come from the first by a fixed mixing, so the choice stays a function of
  // `bits`.
  const std::vector<NODEID>& list = tree.listed_[ix(chosen)];
  for (std::uint64_t state = bits;;) {
    const auto i =
        static_cast<std::size_t>((static_cast<unsigned __int128>(bits) * list.size()) >> 64);
    if (tree.listedAt(chosen, i)) return list[i];
    // splitmix64 (Steele, Lea and Flood, OOPSLA 2014).
    state += 0x9E3779B97F4A7C15ull;
    bits = state;
    bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9ull;
    bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBull;
    bits ^= bits >> 31;
  }
}

std::vector<double> AffinityPlacement::classLaw(const TreeDistances& tree) const {
  std::vector<double> law(ix(tree.top_) + 1, 0.0);
  if (tree.top_ == 0) return law;
  std::int32_t lo = 1;
  while (tree.count_[ix(lo)] == 0) ++lo;
  double total = 0;
  for (std::int32_t k = lo; k <= tree.top_; ++k) {
    law[ix(k)] = tree.count_[ix(k)] * factor(k, lo, tree.top_);
    total += law[ix(k)];
  }
  for (double& p : law) p /= total;
  return law;
}

void AffinityPlacement::join(TreeDistances& tree, NODEID v) {
  // Only nodes that come nearer are visited: a search from v that stops
  // wherever the old distance is already as short. Each node enters the
  // queue once at most, which is as long as the network.
  const std::uint32_t* offsets = offsets_;
  const NODEID* neighbours = neighbours_;
  const std::int32_t* dist = tree.dist_.data();
  NODEID* queue = queue_.data();
  NODEID* nearer = gathered_.data();
  tree.move(v, 0, v);
  queue[0] = v;
  for (std::size_t head = 0, tail = 1; head < tail; ++head) {
    const NODEID x = queue[head];
    const std::int32_t next = dist[x] + 1;
    // The neighbours that come nearer are gathered first without a branch
    // on each: whether a neighbour does is as good as random, and a
    // mispredicted branch costs more than the look itself.
    std::size_t n = 0;
    for (std::uint32_t e = offsets[x], end = offsets[x + 1]; e < end; ++e) {
      const NODEID w = neighbours[e];
      nearer[n] = w;
      n += dist[w] > next ? 1 : 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const NODEID w = nearer[i];
      tree.move(w, next, x);
      queue[tail++] = w;
    }
  }
}

std::uint32_t AffinityPlacement::freshMarks() {
  // Three marks an update: affected, kept, unsettled.
  if (epoch_ > std::numeric_limits<std::uint32_t>::max() - 3) {
    std::fill(stamp_.begin(), stamp_.end(), 0);
    epoch_ = 0;
  }
  epoch_ += 3;
  return epoch_ - 2;
}

void AffinityPlacement::leave(TreeDistances& tree, NODEID v) {
  const std::uint32_t affected = freshMarks();
  const std::uint32_t kept = affected + 1;
  const std::uint32_t unsettled = affected + 2;
  const std::uint32_t* offsets = offsets_;
  const NODEID* neighbours = neighbours_;
  const std::int32_t* dist = tree.dist_.data();
  NODEID* via = tree.via_.data();
  std::uint32_t* stamp = stamp_.data();
  std::int32_t* newDist = newDist_.data();
  NODEID* queue = queue_.data();
  NODEID* next = gathered_.data();

  // The nodes whose distance grows: v, then, level by level away from it,
  // every node one further than an affected node whose neighbours one nearer
  // are all affected. A level is judged whole before the next is looked at,
  // so each node is judged once, on final marks, and an affected node's
  // neighbours at its own level are final by the time it is looked at: one
  // of them unaffected gives it its new distance, one more than before, the
  // least it can have.
  queue[0] = v;
  std::size_t region = 1;
  stamp[v] = affected;
  newDist[v] = kFar;
  std::size_t open = 0;
  for (std::size_t head = 0; head < region; ++head) {
    const NODEID x = queue[head];
    const std::int32_t level = dist[x];
    // Gathered without a branch on each neighbour, as in join.
    std::size_t n = 0;
    NODEID beside = -1;
    for (std::uint32_t e = offsets[x], end = offsets[x + 1]; e < end; ++e) {
      const NODEID w = neighbours[e];
      const std::int32_t d = dist[w];
      const std::uint32_t mark = stamp[w];
      beside = d == level && mark != affected ? w : beside;
      next[n] = w;
      // Marks of this leave are `affected` and above.
      n += d == level + 1 && mark < affected ? 1 : 0;
    }
    if (beside >= 0) {
      newDist[x] = level + 1;
      via[x] = beside;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const NODEID w = next[i];
      const NODEID hint = via[w];
      bool supported = dist[hint] == level && stamp[hint] != affected;
      for (std::uint32_t f = offsets[w], fend = supported ? f : offsets[w + 1]; f < fend; ++f) {
        const NODEID y = neighbours[f];
        if (dist[y] == level && stamp[y] != affected) {
          via[w] = y;
          supported = true;
          break;
        }
      }
      if (supported) {
        stamp[w] = kept;
      } else {
        stamp[w] = affected;
        newDist[w] = kFar;
        queue[region++] = w;
      }
    }
    if (newDist[x] == kFar) ++open;
  }

  // The others, open, take their distance through any neighbour but an open
  // one, then through each other: a search among them alone, in order of
  // distance, settles them.
  if (open > 0) {
    NODEID* opened = queue + region;
    std::size_t n = 0;
    for (std::size_t i = 0; i < region; ++i) {
      if (newDist[queue[i]] == kFar) {
        stamp[queue[i]] = unsettled;
        opened[n++] = queue[i];
      }
    }
    std::int32_t lowest = kFar;
    std::int32_t highest = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const NODEID a = opened[i];
      std::int32_t best = kFar;
      for (std::uint32_t e = offsets[a], end = offsets[a + 1]; e < end; ++e) {
        const NODEID y = neighbours[e];
        if (stamp[y] == unsettled) continue;
        const std::int32_t through = (stamp[y] == affected ? newDist[y] : dist[y]) + 1;
        if (through < best) {
          best = through;
          via[a] = y;
        }
      }
      newDist[a] = best;
      // One with only open neighbours is reached through them.
      if (best == kFar) continue;
      buckets_[ix(best)].push_back(a);
      lowest = std::min(lowest, best);
      highest = std::max(highest, best);
    }
    for (std::int32_t d = lowest; d <= highest; ++d) {
      std::vector<NODEID>& bucket = buckets_[ix(d)];
      for (const NODEID a : bucket) {
        if (stamp[a] != unsettled || newDist[a] != d) continue;
        stamp[a] = affected;
        for (std::uint32_t e = offsets[a], end = offsets[a + 1]; e < end; ++e) {
          const NODEID b = neighbours[e];
          if (stamp[b] == unsettled && newDist[b] > d + 1) {
            newDist[b] = d + 1;
            via[b] = a;
            buckets_[ix(d) + 1].push_back(b);
            highest = std::max(highest, d + 1);
          }
        }
      }
      bucket.clear();
    }
  }
  for (std::size_t i = 0; i < region; ++i) {
    const NODEID a = queue[i];
    tree.move(a, newDist[a], via[a]);
  }
}

}  // namespace grouptrace::placement
