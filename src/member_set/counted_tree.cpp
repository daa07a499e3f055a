#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

#include "member_set/member_set.h"

// The tree's general updates: allocation, splits, merges and root changes.
namespace grouptrace {
namespace {

using namespace member_set_detail;

// Inner nodes other than the root never hold fewer children than this.
constexpr int kFanMin = kFan / 2;

Key lastKey(const void* node, bool isLeaf) {
  if (isLeaf) {
    const Key* leaf = asLeaf(node);
    return leafKeys(leaf)[leafSize(leaf) - 1];
  }
  const Inner* in = asInner(node);
  return in->maxKey[in->n - 1];
}

int fillOf(const void* node, bool isLeaf) {
  return isLeaf ? leafSize(asLeaf(node)) : asInner(node)->n;
}

// Evens out, or merges, the children a and a+1 of parent, one of which has fallen below its
// minimum fill. A merge keeps the left node and frees the right.
void rebalance(Inner* parent, int a, bool leaves) {
  const int b = a + 1;
  void* left = parent->child[a];
  void* right = parent->child[b];
  const int nl = fillOf(left, leaves);
  const int nr = fillOf(right, leaves);
  const int total = nl + nr;
  const int cap = leaves ? kLeafMax : kFan;

  if (total <= cap) {
    if (leaves) {
      Key* l = asLeaf(left);
      Key* r = asLeaf(right);
      assert(leafCap(l) >= total);
      std::memcpy(leafKeys(l) + nl, leafKeys(r), static_cast<std::size_t>(nr) * sizeof(Key));
      leafSize(l) = total;
      freeLeaf(r);
    } else {
      Inner* l = asInner(left);
      Inner* r = asInner(right);
      std::memcpy(l->cnt + nl, r->cnt, static_cast<std::size_t>(nr) * sizeof(r->cnt[0]));
      std::memcpy(l->maxKey + nl, r->maxKey, static_cast<std::size_t>(nr) * sizeof(Key));
      std::memcpy(l->child + nl, r->child, static_cast<std::size_t>(nr) * sizeof(void*));
      l->n = total;
      delete r;
    }
    parent->cnt[a] += parent->cnt[b];
    parent->maxKey[a] = parent->maxKey[b];
    const int tail = parent->n - b - 1;
    std::memmove(parent->cnt + b, parent->cnt + b + 1,
                 static_cast<std::size_t>(tail) * sizeof(parent->cnt[0]));
    std::memmove(parent->maxKey + b, parent->maxKey + b + 1,
                 static_cast<std::size_t>(tail) * sizeof(Key));
    std::memmove(parent->child + b, parent->child + b + 1,
                 static_cast<std::size_t>(tail) * sizeof(void*));
    --parent->n;
    return;
  }

  // Too many for one node: share them out evenly. The right node's largest key is unchanged
  // either way, and the pair's member count is too.
  const int newLeft = total / 2;
  const std::int32_t pairCount = parent->cnt[a] + parent->cnt[b];
  if (leaves) {
    Key* l = leafKeys(asLeaf(left));
    Key* r = leafKeys(asLeaf(right));
    if (newLeft > nl) {
      const int moved = newLeft - nl;
      std::memcpy(l + nl, r, static_cast<std::size_t>(moved) * sizeof(Key));
      std::memmove(r, r + moved, static_cast<std::size_t>(nr - moved) * sizeof(Key));
    } else {
      const int moved = nl - newLeft;
      std::memmove(r + moved, r, static_cast<std::size_t>(nr) * sizeof(Key));
      std::memcpy(r, l + newLeft, static_cast<std::size_t>(moved) * sizeof(Key));
    }
    leafSize(asLeaf(left)) = newLeft;
    leafSize(asLeaf(right)) = total - newLeft;
    parent->cnt[a] = newLeft;
    parent->maxKey[a] = l[newLeft - 1];
  } else {
    Inner* l = asInner(left);
    Inner* r = asInner(right);
    if (newLeft > nl) {
      const auto moved = static_cast<std::size_t>(newLeft - nl);
      const auto rest = static_cast<std::size_t>(nr) - moved;
      std::memcpy(l->cnt + nl, r->cnt, moved * sizeof(r->cnt[0]));
      std::memcpy(l->maxKey + nl, r->maxKey, moved * sizeof(Key));
      std::memcpy(l->child + nl, r->child, moved * sizeof(void*));
      std::memmove(r->cnt, r->cnt + moved, rest * sizeof(r->cnt[0]));
      std::memmove(r->maxKey, r->maxKey + moved, rest * sizeof(Key));
      std::memmove(r->child, r->child + moved, rest * sizeof(void*));
    } else {
      const auto moved = static_cast<std::size_t>(nl - newLeft);
      const auto nrs = static_cast<std::size_t>(nr);
      std::memmove(r->cnt + moved, r->cnt, nrs * sizeof(r->cnt[0]));
      std::memmove(r->maxKey + moved, r->maxKey, nrs * sizeof(Key));
      std::memmove(r->child + moved, r->child, nrs * sizeof(void*));
      std::memcpy(r->cnt, l->cnt + newLeft, moved * sizeof(r->cnt[0]));
      std::memcpy(r->maxKey, l->maxKey + newLeft, moved * sizeof(Key));
      std::memcpy(r->child, l->child + newLeft, moved * sizeof(void*));
    }
    l->n = newLeft;
    r->n = total - newLeft;
    std::int32_t leftCount = 0;
    for (int i = 0; i < newLeft; ++i) leftCount += l->cnt[i];
    parent->cnt[a] = leftCount;
    parent->maxKey[a] = l->maxKey[newLeft - 1];
  }
  parent->cnt[b] = pairCount - parent->cnt[a];
}

// A copy of a root leaf with no room left, twice its size up to full size; bad_alloc if refused.
Key* grownLeaf(const Key* leaf) {
  const int n = leafSize(leaf);
  Key* grown = allocLeaf(std::min(2 * (leafCap(leaf) + 2) - 2, kLeafMax));
  if (grown == nullptr) throw std::bad_alloc();
  std::memcpy(leafKeys(grown), leafKeys(leaf), static_cast<std::size_t>(n) * sizeof(Key));
  leafSize(grown) = n;
  return grown;
}

// Counts one more member under child slot[d] of path[d] for each level d below `levels`, whose
// largest key may now be `node`.
void countOnPath(Inner* const* path, const int* slot, int levels, NODEID node) {
  for (int d = levels - 1; d >= 0; --d) {
    Inner* in = path[d];
    const int j = slot[d];
    ++in->cnt[j];
    in->maxKey[j] = std::max(in->maxKey[j], node);
  }
}

// Puts `node` at key `pos` of a leaf with room for it.
void insertInLeaf(Key* leaf, int pos, NODEID node) {
  const int n = leafSize(leaf);
  Key* keys = leafKeys(leaf);
  std::memmove(keys + pos + 1, keys + pos, static_cast<std::size_t>(n - pos) * sizeof(Key));
  keys[pos] = node;
  leafSize(leaf) = n + 1;
}

// What a split needs, obtained before anything changes.
struct SplitNodes {
  Key* rightLeaf;
  Inner* inner[kMaxHeight + 1];
  int innerLeft;
};

// A full leaf and `innerNeeded` inner nodes, or bad_alloc with nothing kept.
void obtainSplitNodes(SplitNodes& nodes, int innerNeeded) {
  nodes.rightLeaf = allocLeaf(kLeafMax);
  int got = 0;
  if (nodes.rightLeaf != nullptr) {
    for (; got < innerNeeded; ++got) {
      nodes.inner[got] = new (std::nothrow) Inner;
      if (nodes.inner[got] == nullptr) break;
    }
  }
  if (nodes.rightLeaf == nullptr || got < innerNeeded) {
    for (int i = 0; i < got; ++i) delete nodes.inner[i];
    freeLeaf(nodes.rightLeaf);
    throw std::bad_alloc();
  }
  nodes.innerLeft = got;
}

// Carried up while levels split: the left part's count and largest key, and the new right
// sibling with its count and largest key; no sibling once a level had room for it.
struct SplitCarry {
  std::int32_t leftCount;
  Key leftMax;
  void* newNode;
  std::int32_t newCount;
  Key newMax;
};

// The n + 1 keys of a full leaf and `node`: the left leaf keeps the lower half, the empty
// `rightLeaf` takes the rest.
SplitCarry splitLeaf(Key* leaf, Key* rightLeaf, int pos, NODEID node) {
  const int n = leafSize(leaf);
  constexpr int leftN = (kLeafMax + 1) / 2;
  constexpr int rightN = kLeafMax + 1 - leftN;
  Key* lk = leafKeys(leaf);
  Key* rk = leafKeys(rightLeaf);
  if (pos < leftN) {
    std::memcpy(rk, lk + leftN - 1, static_cast<std::size_t>(rightN) * sizeof(Key));
    std::memmove(lk + pos + 1, lk + pos, static_cast<std::size_t>(leftN - 1 - pos) * sizeof(Key));
    lk[pos] = node;
  } else {
    const int head = pos - leftN;
    std::memcpy(rk, lk + leftN, static_cast<std::size_t>(head) * sizeof(Key));
    rk[head] = node;
    std::memcpy(rk + head + 1, lk + pos, static_cast<std::size_t>(n - pos) * sizeof(Key));
  }
  leafSize(leaf) = leftN;
  leafSize(rightLeaf) = rightN;
  return {leftN, lk[leftN - 1], rightLeaf, rightN, rk[rightN - 1]};
}

// The carried sibling goes right of child j of `in`, which has room for it.
void insertChild(Inner* in, int j, const SplitCarry& carry) {
  const auto tail = static_cast<std::size_t>(in->n - j - 1);
  std::memmove(in->cnt + j + 2, in->cnt + j + 1, tail * sizeof(in->cnt[0]));
  std::memmove(in->maxKey + j + 2, in->maxKey + j + 1, tail * sizeof(Key));
  std::memmove(in->child + j + 2, in->child + j + 1, tail * sizeof(void*));
  in->cnt[j + 1] = carry.newCount;
  in->maxKey[j + 1] = carry.newMax;
  in->child[j + 1] = carry.newNode;
  ++in->n;
}

// `in` is full: its kFan entries and the carried sibling, right of child j, are laid out in
// order, then dealt to `in` and its new right sibling `sib`; the split is carried on up.
SplitCarry splitInner(Inner* in, Inner* sib, int j, const SplitCarry& carry) {
  std::int32_t cnt[kFan + 1];
  Key maxKey[kFan + 1];
  void* child[kFan + 1];
  for (int i = 0, o = 0; i <= kFan; ++i) {
    if (i == j + 1) {
      cnt[i] = carry.newCount;
      maxKey[i] = carry.newMax;
      child[i] = carry.newNode;
    } else {
      cnt[i] = in->cnt[o];
      maxKey[i] = in->maxKey[o];
      child[i] = in->child[o];
      ++o;
    }
  }
  constexpr int leftK = (kFan + 1) / 2;
  in->n = leftK;
  sib->n = kFan + 1 - leftK;
  SplitCarry up{0, 0, sib, 0, 0};
  for (int i = 0; i < leftK; ++i) {
    in->cnt[i] = cnt[i];
    in->maxKey[i] = maxKey[i];
    in->child[i] = child[i];
    up.leftCount += cnt[i];
  }
  for (int i = leftK; i <= kFan; ++i) {
    sib->cnt[i - leftK] = cnt[i];
    sib->maxKey[i - leftK] = maxKey[i];
    sib->child[i - leftK] = child[i];
    up.newCount += cnt[i];
  }
  up.leftMax = in->maxKey[leftK - 1];
  up.newMax = sib->maxKey[sib->n - 1];
  return up;
}

// A root over the old one and the new sibling the split carried up to it.
Inner* newRoot(Inner* top, void* oldRoot, const SplitCarry& carry) {
  top->n = 2;
  top->cnt[0] = carry.leftCount;
  top->maxKey[0] = carry.leftMax;
  top->child[0] = oldRoot;
  top->cnt[1] = carry.newCount;
  top->maxKey[1] = carry.newMax;
  top->child[1] = carry.newNode;
  return top;
}

}  // namespace

bool MemberSet::insertAnywhere(NODEID node, bool fetchedAhead) {
  assert(0 <= node && node < nNodes_);
  if (root_ == nullptr) {
    Key* leaf = allocLeaf(kLeafMinCap);
    if (leaf == nullptr) throw std::bad_alloc();
    leafKeys(leaf)[0] = node;
    leafSize(leaf) = 1;
    root_ = leaf;
    size_ = 1;
    return true;
  }

  Inner* path[kMaxHeight];
  int slot[kMaxHeight];
  void* p = root_;
  for (int d = 0; d < height_; ++d) {
    Inner* in = asInner(p);
    // A key above every member goes to the last child, whose largest key then grows.
    const int j = std::min(lowerBound(in->maxKey, in->n, node), in->n - 1);
    path[d] = in;
    slot[d] = j;
    p = in->child[j];
    if (!fetchedAhead) prefetchNode(p, d + 1 == height_);
  }
  Key* leaf = asLeaf(p);
  const int n = leafSize(leaf);
  const int pos = lowerBound(leafKeys(leaf), n, node);
  if (pos < n && leafKeys(leaf)[pos] == node) return false;
  insertAt(path, slot, leaf, pos, node);
  return true;
}

NODEID MemberSet::insertNthAnywhere(Count k) {
  if (root_ == nullptr) {
    insertAnywhere(static_cast<NODEID>(k));
    return static_cast<NODEID>(k);
  }
  // The descent of nthNonMember, keeping the path. Once no child holds the answer, it lies
  // above every member, and the node goes to the end of the last leaf.
  Inner* path[kMaxHeight];
  int slot[kMaxHeight];
  void* p = root_;
  Count before = 0;
  bool aboveAll = false;
  for (int d = 0; d < height_; ++d) {
    Inner* in = asInner(p);
    int j = 0;
    if (!aboveAll) {
      for (; j < in->n; ++j) {
        const Count through = before + in->cnt[j];
        if (static_cast<Count>(in->maxKey[j]) - (through - 1) > k) break;
        before = through;
      }
      aboveAll = j == in->n;
    }
    if (aboveAll) j = in->n - 1;
    path[d] = in;
    slot[d] = j;
    p = in->child[j];
  }
  Key* leaf = asLeaf(p);
  const int n = leafSize(leaf);
  const int pos = aboveAll ? n : firstGapAbove(leafKeys(leaf), n, before, k);
  const auto node = static_cast<NODEID>(aboveAll ? k + size_ : k + before + pos);
  assert(0 <= node && node < nNodes_);
  insertAt(path, slot, leaf, pos, node);
  return node;
}

void MemberSet::insertAt(Inner* const* path, const int* slot, Key* leaf, int pos, NODEID node) {
  if (leafSize(leaf) < kLeafMax) {
    // Only a root leaf is short; it doubles until full size.
    if (leafSize(leaf) == leafCap(leaf)) {
      Key* grown = grownLeaf(leaf);
      if (height_ == 0) {
        root_ = grown;
      } else {
        path[height_ - 1]->child[slot[height_ - 1]] = grown;
      }
      ++generation_;
      freeLeaf(leaf);
      leaf = grown;
    }
    insertInLeaf(leaf, pos, node);
    countOnPath(path, slot, height_, node);
    ++size_;
    return;
  }

  // The leaf is full: it splits, and so does every full inner node directly above it. All the
  // nodes this needs are obtained first, so running out of memory leaves the set as it was.
  int firstSplit = height_;  // shallowest inner level that splits
  while (firstSplit > 0 && path[firstSplit - 1]->n == kFan) --firstSplit;
  const int innerNeeded = height_ - firstSplit + (firstSplit == 0 ? 1 : 0);
  assert(firstSplit > 0 || height_ + 1 < kMaxHeight);
  SplitNodes spare;
  obtainSplitNodes(spare, innerNeeded);

  SplitCarry carry = splitLeaf(leaf, spare.rightLeaf, pos, node);
  int d = height_ - 1;
  for (; d >= 0 && carry.newNode != nullptr; --d) {
    Inner* in = path[d];
    const int j = slot[d];
    in->cnt[j] = carry.leftCount;
    in->maxKey[j] = carry.leftMax;
    if (in->n < kFan) {
      insertChild(in, j, carry);
      carry.newNode = nullptr;
    } else {
      carry = splitInner(in, spare.inner[--spare.innerLeft], j, carry);
    }
  }
  countOnPath(path, slot, d + 1, node);
  if (carry.newNode != nullptr) {
    root_ = newRoot(spare.inner[--spare.innerLeft], root_, carry);
    ++height_;
  }
  assert(spare.innerLeft == 0);
  ++size_;
}

bool MemberSet::eraseAnywhere(NODEID node, bool fetchedAhead) {
  if (root_ == nullptr) return false;
  Inner* path[kMaxHeight];
  int slot[kMaxHeight];
  void* p = root_;
  for (int d = 0; d < height_; ++d) {
    Inner* in = asInner(p);
    const int j = lowerBound(in->maxKey, in->n, node);
    if (j == in->n) return false;
    path[d] = in;
    slot[d] = j;
    p = in->child[j];
    if (!fetchedAhead) prefetchNode(p, d + 1 == height_);
  }
  Key* leaf = asLeaf(p);
  const int n = leafSize(leaf);
  const int pos = lowerBound(leafKeys(leaf), n, node);
  if (pos == n || leafKeys(leaf)[pos] != node) return false;
  eraseAt(path, slot, leaf, pos);
  return true;
}

NODEID MemberSet::eraseNthAnywhere(Count k) {
  Inner* path[kMaxHeight];
  int slot[kMaxHeight];
  void* p = root_;
  for (int d = 0; d < height_; ++d) {
    Inner* in = asInner(p);
    int j = 0;
    while (k >= in->cnt[j]) k -= in->cnt[j++];
    path[d] = in;
    slot[d] = j;
    p = in->child[j];
  }
  Key* leaf = asLeaf(p);
  const NODEID node = leafKeys(leaf)[k];
  eraseAt(path, slot, leaf, static_cast<int>(k));
  return node;
}

void MemberSet::eraseAt(Inner* const* path, const int* slot, Key* leaf, int pos) noexcept {
  const int n = leafSize(leaf);
  Key* keys = leafKeys(leaf);
  std::memmove(keys + pos, keys + pos + 1, static_cast<std::size_t>(n - pos - 1) * sizeof(Key));
  leafSize(leaf) = n - 1;
  --size_;

  for (int d = height_ - 1; d >= 0; --d) {
    Inner* in = path[d];
    const int j = slot[d];
    const bool leaves = d == height_ - 1;
    void* c = in->child[j];
    --in->cnt[j];
    // Never empty here: the child held at least its minimum fill before this erase.
    in->maxKey[j] = lastKey(c, leaves);
    if (fillOf(c, leaves) < (leaves ? kLeafMin : kFanMin)) {
      ++generation_;
      rebalance(in, j > 0 ? j - 1 : j, leaves);
    }
  }

  if (height_ > 0 && asInner(root_)->n == 1) {
    Inner* old = asInner(root_);
    root_ = old->child[0];
    ++generation_;
    delete old;
    --height_;
  }
  if (height_ == 0) {
    Key* rootLeaf = asLeaf(root_);
    const int left = leafSize(rootLeaf);
    const int cap = leafCap(rootLeaf);
    if (left == 0) {
      ++generation_;
      freeLeaf(rootLeaf);
      root_ = nullptr;
    } else if (left <= rootLeafShrinkSize(cap)) {
      // Give memory back once a root leaf is a quarter full; shrinking is optional, so a
      // failed allocation just keeps the larger leaf.
      Key* smaller = allocLeaf((cap + 2) / 2 - 2);
      if (smaller != nullptr) {
        std::memcpy(leafKeys(smaller), leafKeys(rootLeaf),
                    static_cast<std::size_t>(left) * sizeof(Key));
        leafSize(smaller) = left;
        ++generation_;
        freeLeaf(rootLeaf);
        root_ = smaller;
      }
    }
  }
}

}  // namespace grouptrace
