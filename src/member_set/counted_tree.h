#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "grouptrace/types.h"

// The counted B+tree a member set keeps its members in once they are too many for a word and too
// sparse for bits: its nodes, the searches within one, and what the set's other parts need of it
// (allocation, and a walk over every node).
namespace grouptrace::member_set_detail {

using Key = std::int32_t;

// A leaf is a single int32 block: [0] is the key count, [1] the capacity, the sorted keys
// follow. Capacities are 2^j - 2 so every block is a power-of-two number of bytes: 32, 64,
// 128, then 256 for a full-size leaf. Only a root leaf is ever smaller than full size, which is
// what keeps a session of a handful of members down to one short allocation.
inline constexpr int kLeafMax = 62;
inline constexpr int kLeafMinCap = 6;
// Leaves under an inner node never hold fewer keys than this, so memory stays within about
// twice the members and a merge always fits in one leaf.
inline constexpr int kLeafMin = kLeafMax / 2;
// Children per inner node. Sixteen keeps each per-node scan within a couple of cache lines;
// larger fan-outs measured no faster on churn and made the scans longer.
inline constexpr int kFan = 16;

struct Inner {
  std::int32_t n;          // children in use
  std::int32_t cnt[kFan];  // members under each child
  Key maxKey[kFan];        // largest member under each child
  void* child[kFan];       // leaves on the level above the leaves, inner nodes elsewhere
};

inline std::int32_t& leafSize(Key* leaf) {
  return leaf[0];
}
inline std::int32_t leafSize(const Key* leaf) {
  return leaf[0];
}
inline std::int32_t leafCap(const Key* leaf) {
  return leaf[1];
}
inline Key* leafKeys(Key* leaf) {
  return leaf + 2;
}
inline const Key* leafKeys(const Key* leaf) {
  return leaf + 2;
}
inline Key* asLeaf(void* p) {
  return static_cast<Key*>(p);
}
inline const Key* asLeaf(const void* p) {
  return static_cast<const Key*>(p);
}
inline Inner* asInner(void* p) {
  return static_cast<Inner*>(p);
}
inline const Inner* asInner(const void* p) {
  return static_cast<const Inner*>(p);
}

// Asks for every cache line of a node at once. A descent through a tree larger than the caches
// otherwise waits for the lines one after another as it scans the node. A descent whose path was
// fetched ahead (MemberSet::PathAhead) asks for nothing: asking again for lines already there or
// on their way measured 5% slower with groups of a million.
inline void prefetchNode(const void* node, bool leaf) {
  const char* at = static_cast<const char*>(node);
  static_assert((kLeafMax + 2) * sizeof(Key) == 256 && sizeof(Inner) <= 320);
  __builtin_prefetch(at);
  __builtin_prefetch(at + 64);
  __builtin_prefetch(at + 128);
  __builtin_prefetch(at + 192);
  if (!leaf) __builtin_prefetch(at + 256);
}

// First index in the sorted a[0..n) whose value is >= x, n if none. Branch-free: the loop runs
// a fixed number of rounds for a given n, so random probes cost no mispredictions.
inline int lowerBound(const Key* a, int n, Key x) {
  if (n == 0) return 0;
  const Key* base = a;
  int len = n;
  while (len > 1) {
    const int half = len / 2;
    base = base[half] < x ? base + half : base;
    len -= half;
  }
  return static_cast<int>(base - a) + (*base < x ? 1 : 0);
}

// Within a leaf whose first key is the before-th member overall: the first index t with
// keys[t] - (before + t) > k, n if none. keys[t] - t never decreases, so this bisects too.
inline int firstGapAbove(const Key* keys, int n, Count before, Count k) {
  if (n == 0) return 0;
  const Count bound = k + before;
  int lo = 0;
  int len = n;
  while (len > 1) {
    const int half = len / 2;
    lo = static_cast<Count>(keys[lo + half]) - (lo + half) <= bound ? lo + half : lo;
    len -= half;
  }
  return lo + (static_cast<Count>(keys[lo]) - lo <= bound ? 1 : 0);
}

// The largest member count at which a root leaf of this capacity is replaced by
// a smaller one (a quarter full); 0 for the smallest leaf, which is only freed.
inline int rootLeafShrinkSize(int cap) {
  return cap > kLeafMinCap ? ((cap + 2) / 2 - 2) / 2 : 0;
}

// Every inner node but the root has at least kFanMin children and every leaf kLeafMin keys,
// so a tree of height h holds at least 2 * 8^(h-1) * 31 members; 2^31 members stay under
// height 10. Descents keep their path in fixed arrays of this depth.
inline constexpr int kMaxHeight = 32;

inline std::size_t leafBytes(int cap) {
  return (static_cast<std::size_t>(cap) + 2) * sizeof(Key);
}

// Allocation failures come back as null so an update can obtain everything it needs before it
// changes anything.
inline Key* allocLeaf(int cap) noexcept {
  Key* leaf = new (std::nothrow) Key[static_cast<std::size_t>(cap) + 2];
  if (leaf != nullptr) {
    leaf[0] = 0;
    leaf[1] = cap;
  }
  return leaf;
}

inline void freeLeaf(Key* leaf) noexcept {
  delete[] leaf;
}

// Visits every node below root once, children before their parent, without recursion and
// without allocating (the destructor relies on both).
template <class LeafFn, class InnerFn>
inline void forEachNode(void* root, int height, LeafFn onLeaf, InnerFn onInner) {
  if (root == nullptr) return;
  if (height == 0) {
    onLeaf(asLeaf(root));
    return;
  }
  Inner* stack[kMaxHeight];
  int next[kMaxHeight];
  int top = 0;
  stack[0] = asInner(root);
  next[0] = 0;
  while (top >= 0) {
    Inner* in = stack[top];
    if (next[top] == in->n) {
      onInner(in);
      --top;
      continue;
    }
    void* c = in->child[next[top]++];
    if (top + 1 == height) {
      onLeaf(asLeaf(c));
    } else {
      ++top;
      stack[top] = asInner(c);
      next[top] = 0;
    }
  }
}

}  // namespace grouptrace::member_set_detail
