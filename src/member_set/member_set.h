#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "grouptrace/types.h"
#include "member_set/counted_tree.h"
#include "member_set/word_select.h"

namespace grouptrace {

// The members of one multicast session, kept so that the selections a request needs (the k-th
// non-member for a join, the k-th member and a member's rank for a leave) each cost one descent
// of a counted B+tree: O(log members), whatever the size of the network. Memory follows the
// members: an empty set holds nothing on the heap and a small one a single short leaf.
//
// A set whose members are dense among the low nodes keeps them as bits instead, one per node up
// to its largest member, where that takes no more room than the tree would, in a network of any
// size: a join or leave is then a single bit and a count on each level above it, and a selection
// a descent through counts of the members of each 512 nodes, of each 16 such blocks, and so on,
// then a scan of at most 8 words. Groups of hundreds in networks of a thousand nodes, the common
// case, live there, and so do large groups that fill much of a large network.
//
// The queries, and updates that stay within a root leaf, are defined here so that they inline
// into the request path: most sessions are small enough to live in one leaf.
class MemberSet {
 public:
  // The largest network a parameter stream can describe. A set over it takes every node a trace
  // can name, for a reader that learns the network's size only from the nodes it meets.
  static constexpr NODEID kLargestNetwork = 2147483647;

  // An empty set over nodes 0..nNodes-1 (nNodes >= 1).
  explicit MemberSet(NODEID nNodes);
  MemberSet(MemberSet&& other) noexcept;
  MemberSet& operator=(MemberSet&& other) noexcept;
  MemberSet(const MemberSet&) = delete;
  MemberSet& operator=(const MemberSet&) = delete;
  ~MemberSet();

  bool contains(NODEID node) const;
  // node must lie in 0..nNodes-1 and not be a member yet.
  void insert(NODEID node);
  // node must be a member.
  void erase(NODEID node);
  // For callers that must tell whether the update applies: one search finds the place and
  // answers the question, where contains() followed by insert() or erase() would search twice.
  // Adds node (in 0..nNodes-1) unless it is a member; true when it was added. A caller that
  // fetched the path ahead (startPath) says so, and the descent then asks for no lines again.
  bool insertIfAbsent(NODEID node, bool fetchedAhead = false);
  // Removes node if it is a member; true when it was removed.
  bool eraseIfPresent(NODEID node, bool fetchedAhead = false);
  Count size() const { return size_; }
  NODEID nodeCount() const { return nNodes_; }

  // The k-th (0-based) node in increasing order that is not a member; 0 <= k < nNodes - size().
  NODEID nthNonMember(Count k) const;
  // The k-th (0-based) member in increasing node order; 0 <= k < size().
  NODEID nthMember(Count k) const;
  // The number of members below node, for 0 <= node < nNodes.
  Count rank(NODEID node) const;
  // The k-th (0-based) member in increasing node order when `excluded`, a
  // member, is left out; 0 <= k < size() - 1.
  NODEID nthMemberExcept(Count k, NODEID excluded) const;
  // Removes that member and returns it, for a caller that knows `excluded`'s rank: one descent
  // of the tree where a selection followed by an erase would make two. Its caller, the generator,
  // fetches the paths of tall trees ahead, so the descent asks for no lines itself; so does
  // insertNthNonMember's.
  NODEID eraseNthMemberExcept(Count k, NODEID excluded, Count excludedRank);
  // Adds the k-th non-member (0 <= k < nNodes - size()) and returns it, in one descent of a
  // tree of several levels. A refused allocation throws and leaves the set unchanged.
  NODEID insertNthNonMember(Count k);

  // Heap bytes the set holds as requested from the allocator (its bookkeeping not included).
  std::size_t memoryBytes() const;

  // A descent made for a request a few requests ahead, a level per request, so that a tree
  // larger than the caches is waited for once per level across several requests instead of
  // once per level within each. Each step reads one node, which the step before asked the
  // memory for, and asks for the next. A path is only ever a guess: the set may change before
  // its request comes, and a step then goes where the counts lead or stops; a freed node is
  // never read, as every free moves the set's generation on.
  enum class PathTarget : std::uint8_t { member, nonMember, node };
  struct PathAhead {
    // The node the next step reads, or once `levels` is 0 the leaf last asked for; null when the
    // set has no path to fetch or changed shape.
    const void* node = nullptr;
    Count k = 0;       // the rank still to find below `node`, or the node sought
    Count before = 0;  // members before `node`, for a non-member's rank
    std::uint16_t generation = 0;
    std::int16_t levels = 0;  // inner levels from `node` down to the leaves, itself included
    PathTarget target = PathTarget::member;
  };
  // Starts the path to the k-th member, the k-th non-member or the node k, descending at once
  // to where `steps` levels are left (the levels above are few and stay in the caches). A set
  // of fewer levels, or not a tree, has no path to fetch.
  void startPath(PathAhead& path, PathTarget target, Count k, int steps) const {
    path.node = nullptr;
    if (height_ < 2) return;
    path = PathAhead{root_, k, 0, generation_, height_, target};
    while (path.levels > steps && path.node != nullptr) stepPath(path);
  }
  // One level down: reads the node and asks for the child the target lies under.
  void stepPath(PathAhead& path) const;

 private:
  // Networks of at most 64 nodes keep the members as the bits of one word:
  // every operation is then a few bit operations, with no branch to mispredict.
  static constexpr NODEID kWordNodes = 64;
  bool inWord() const { return nNodes_ <= kWordNodes; }
  std::uint64_t wordNodes() const {
    return nNodes_ == kWordNodes ? ~std::uint64_t{0} : (std::uint64_t{1} << nNodes_) - 1;
  }

  // Bits, for the nodes below 64 * bitWords_, replace the tree once there are at least two
  // members per word (about 4 bytes a member, which no tree beats) and give way to it again
  // below one per word (about 8 bytes a member, the most a tree takes): between the two, a set
  // that hovers at one size never converts back and forth.
  //
  // The words are allocated with some room past bitWords_ (capWords(), kept in word_, which
  // only a set of at most 64 nodes uses otherwise), so that a set whose largest member creeps
  // upwards reallocates a number of times that grows with the logarithm of its size, not with
  // its size. Behind the words, 32-bit counts on levels: level 0 counts the members of each
  // block of kBlockWords words, each level above the members under kCountFan entries of the
  // level below, up to a level of at most kCountFan entries. A selection descends them, an
  // update adds to one entry per level.
  static constexpr std::int64_t kBlockWords = 8;
  static constexpr int kBlockShift = 9;  // 512 nodes a block
  static constexpr std::int64_t kCountFan = 16;
  static constexpr int kFanShift = 4;
  // Enough for the blocks of the largest network: 2^22 blocks, 16 per level up.
  static constexpr int kMaxCountLevels = 8;
  bool inBits() const { return height_ < 0; }
  std::uint64_t* bits() { return static_cast<std::uint64_t*>(root_); }
  const std::uint64_t* bits() const { return static_cast<const std::uint64_t*>(root_); }
  std::int64_t capWords() const { return static_cast<std::int64_t>(word_); }
  std::uint32_t* counts() { return reinterpret_cast<std::uint32_t*>(bits() + capWords()); }
  const std::uint32_t* counts() const {
    return reinterpret_cast<const std::uint32_t*>(bits() + capWords());
  }
  Count bitNodes() const { return Count{bitWords_} * 64; }
  Count capNodes() const { return capWords() * 64; }
  static std::int64_t blocksFor(std::int64_t words) {
    return (words + kBlockWords - 1) / kBlockWords;
  }
  // The words allocated when `words` are needed: rounded up to a multiple of an eighth of the
  // next power of two, so at most a quarter more.
  static std::int64_t capacityFor(std::int64_t words);
  // 32-bit counts, on every level, for a capacity of `cap` words.
  static std::int64_t countEntries(std::int64_t cap);
  // Room for `cap` words of bits and their counts, all zero; null when refused.
  static std::uint64_t* allocBits(std::int64_t cap) noexcept;
  // Fills the counts of a set in bits from its words.
  void countAll() noexcept;
  // Adds `delta` to the counts over `node` on every level.
  void addToCounts(NODEID node, std::uint32_t delta) {
    std::uint32_t* c = counts();
    std::int64_t entries = blocksFor(capWords());
    std::int64_t i = node >> kBlockShift;
    for (;;) {
      c[i] += delta;
      if (entries <= kCountFan) return;
      c += entries;
      entries = (entries + kCountFan - 1) >> kFanShift;
      i >>= kFanShift;
    }
  }
  // The block (of kBlockWords words) holding the k-th member, or with nonMembers the k-th
  // non-member, below capNodes(); k becomes the rank within the block.
  template <bool nonMembers>
  std::int64_t descendCounts(Count& k) const;

  // The tree's part of insertIfAbsent and eraseIfPresent.
  bool insertInTree(NODEID node, bool fetchedAhead = false);
  bool eraseInTree(NODEID node, bool fetchedAhead = false);
  // An erase within one leaf, the root (parent null) or child j of the root `parent`, done in
  // place where the leaf keeps enough keys (keepsAfterErase); anything else takes the general
  // path.
  static bool keepsAfterErase(const member_set_detail::Key* leaf, bool underRoot) {
    using namespace member_set_detail;
    const int keep = underRoot ? kLeafMin : rootLeafShrinkSize(leafCap(leaf)) + 1;
    return leafSize(leaf) - 1 >= keep;
  }
  void eraseInLeaf(member_set_detail::Inner* parent, int j, member_set_detail::Key* leaf, int pos) {
    using namespace member_set_detail;
    const int n = leafSize(leaf);
    Key* keys = leafKeys(leaf);
    for (int i = pos; i + 1 < n; ++i) keys[i] = keys[i + 1];
    leafSize(leaf) = n - 1;
    if (parent != nullptr) {
      --parent->cnt[j];
      parent->maxKey[j] = keys[n - 2];
    }
    --size_;
  }
  // The largest member of a non-empty tree, which its root holds.
  NODEID largestInTree() const {
    using namespace member_set_detail;
    if (height_ == 0) return leafKeys(asLeaf(root_))[size_ - 1];
    const Inner* in = asInner(root_);
    return in->maxKey[in->n - 1];
  }
  // Trades the tree for bits up to its largest member; keeps the tree when the bits cannot be
  // allocated.
  void switchToBits() noexcept;
  // Adds a node at or beyond bitNodes(): more words while the members stay dense, or the tree.
  bool insertBeyondBits(NODEID node);
  // Back to the tree once the members have thinned out; keeps the bits when the tree cannot be
  // allocated.
  void switchToTree() noexcept;
  // The members of this set, in bits, into `tree`, an empty set that stays a tree.
  void copyBitsToTree(MemberSet& tree) const;

  // The general updates: allocation, splits, merges and root changes. Each searches afresh and
  // returns false, changing nothing, when there is nothing to do.
  bool insertAnywhere(NODEID node, bool fetchedAhead = false);
  bool eraseAnywhere(NODEID node, bool fetchedAhead = false);
  // Removes and returns the k-th member of a tree: the general path of eraseNthMemberExcept.
  NODEID eraseNthAnywhere(Count k);
  // Adds and returns the k-th non-member of a tree: the general path of insertNthNonMember.
  NODEID insertNthAnywhere(Count k);
  // Puts `node` at key `pos` of `leaf`, reached as for eraseAt, splitting full nodes up the path.
  // Everything it needs is allocated before anything changes: refused, it throws bad_alloc.
  void insertAt(member_set_detail::Inner* const* path, const int* slot,
                member_set_detail::Key* leaf, int pos, NODEID node);
  // Removes key `pos` of `leaf`, reached through path[d]->child[slot[d]] for each inner level d,
  // and restores the tree's fill, merging and shrinking as needed. Never fails: the one
  // allocation it may make, a smaller root leaf, is optional.
  void eraseAt(member_set_detail::Inner* const* path, const int* slot, member_set_detail::Key* leaf,
               int pos) noexcept;
  void release() noexcept;

  // A leaf when height_ == 0, an inner node when it is above, the bits' words when it is
  // negative; null while the set is empty or the members fit in word_.
  void* root_ = nullptr;
  std::uint64_t word_ = 0;
  NODEID nNodes_;
  // Members never outnumber the nodes, so 32 bits hold the count.
  std::int32_t size_ = 0;
  // Inner levels above the leaves; -1 for bits.
  std::int16_t height_ = 0;
  // Moves on whenever a node is freed, for the paths fetched ahead. A path lives a few requests
  // and a request frees nodes a few times at most, so 16 bits never come round in between.
  std::uint16_t generation_ = 0;
  // In bits, the words up to the largest member the set had when they were last grown.
  std::int32_t bitWords_ = 0;
};

inline bool MemberSet::contains(NODEID node) const {
  using namespace member_set_detail;
  if (inWord()) return ((word_ >> node) & 1u) != 0;
  if (inBits()) {
    return static_cast<Count>(static_cast<std::uint32_t>(node)) < capNodes() &&
           ((bits()[node >> 6] >> (node & 63)) & 1u) != 0;
  }
  const void* p = root_;
  if (p == nullptr) return false;
  for (int d = 0; d < height_; ++d) {
    const Inner* in = asInner(p);
    const int j = lowerBound(in->maxKey, in->n, node);
    if (j == in->n) return false;
    p = in->child[j];
    prefetchNode(p, d + 1 == height_);
  }
  const Key* leaf = asLeaf(p);
  const int n = leafSize(leaf);
  const int pos = lowerBound(leafKeys(leaf), n, node);
  return pos < n && leafKeys(leaf)[pos] == node;
}

inline Count MemberSet::rank(NODEID node) const {
  using namespace member_set_detail;
  if (inWord()) return countBits(word_ & ((std::uint64_t{1} << node) - 1));
  assert(0 <= node && node < nNodes_);
  if (inBits()) {
    if (node >= bitNodes()) return size_;
    const std::uint64_t* w = bits();
    const std::int64_t last = node >> 6;
    Count below = countBits(w[last] & ((std::uint64_t{1} << (node & 63)) - 1));
    for (std::int64_t i = last & ~(kBlockWords - 1); i < last; ++i) below += countBits(w[i]);
    // On each level, the entries before this one under the same entry of the level above.
    const std::uint32_t* c = counts();
    std::int64_t entries = blocksFor(capWords());
    std::int64_t i = node >> kBlockShift;
    for (;;) {
      for (std::int64_t j = i & ~(kCountFan - 1); j < i; ++j) below += c[j];
      if (entries <= kCountFan) return below;
      c += entries;
      entries = (entries + kCountFan - 1) >> kFanShift;
      i >>= kFanShift;
    }
  }
  const void* p = root_;
  if (p == nullptr) return 0;
  Count below = 0;
  for (int d = 0; d < height_; ++d) {
    const Inner* in = asInner(p);
    const int j = lowerBound(in->maxKey, in->n, node);
    for (int i = 0; i < j; ++i) below += in->cnt[i];
    if (j == in->n) return below;
    p = in->child[j];
  }
  const Key* leaf = asLeaf(p);
  return below + lowerBound(leafKeys(leaf), leafSize(leaf), node);
}

template <bool nonMembers>
inline std::int64_t MemberSet::descendCounts(Count& k) const {
  // The levels' first entries, bottom up.
  const std::uint32_t* level[kMaxCountLevels];
  std::int64_t entries[kMaxCountLevels];
  int top = 0;
  level[0] = counts();
  entries[0] = blocksFor(capWords());
  while (entries[top] > kCountFan) {
    level[top + 1] = level[top] + entries[top];
    entries[top + 1] = (entries[top] + kCountFan - 1) >> kFanShift;
    ++top;
  }
  std::int64_t i = 0;
  for (int l = top; l >= 0; --l) {
    const std::uint32_t* c = level[l];
    const int shift = kBlockShift + kFanShift * l;
    for (std::int64_t j = i << kFanShift;; ++j) {
      Count here = c[j];
      if constexpr (nonMembers) {
        const Count end = (j + 1) << shift;
        here = (end < capNodes() ? end : capNodes()) - (j << shift) - here;
      }
      if (k < here) {
        i = j;
        break;
      }
      k -= here;
    }
  }
  return i;
}

inline NODEID MemberSet::nthMember(Count k) const {
  using namespace member_set_detail;
  if (inWord()) return selectBit(word_, static_cast<unsigned>(k));
  assert(0 <= k && k < size_);
  if (inBits()) {
    const std::uint64_t* w = bits();
    std::int64_t i = descendCounts<false>(k) * kBlockWords;
    for (Count c = countBits(w[i]); k >= c; c = countBits(w[++i])) k -= c;
    return static_cast<NODEID>(64 * i + selectBit(w[i], static_cast<unsigned>(k)));
  }
  const void* p = root_;
  for (int d = 0; d < height_; ++d) {
    const Inner* in = asInner(p);
    int j = 0;
    while (k >= in->cnt[j]) {
      k -= in->cnt[j];
      ++j;
      assert(j < in->n);
    }
    p = in->child[j];
    prefetchNode(p, d + 1 == height_);
  }
  return leafKeys(asLeaf(p))[k];
}

inline NODEID MemberSet::nthNonMember(Count k) const {
  using namespace member_set_detail;
  if (inWord()) return selectBit(~word_ & wordNodes(), static_cast<unsigned>(k));
  assert(0 <= k && k < static_cast<Count>(nNodes_) - size_);
  if (inBits()) {
    // Every member lies below capNodes(), and every node from there on is a non-member.
    if (k >= capNodes() - size_) return static_cast<NODEID>(k + size_);
    const std::uint64_t* w = bits();
    for (std::int64_t i = descendCounts<true>(k) * kBlockWords;; ++i) {
      const Count c = 64 - countBits(w[i]);
      if (k < c) return static_cast<NODEID>(64 * i + selectBit(~w[i], static_cast<unsigned>(k)));
      k -= c;
    }
  }
  // With members m_0 < m_1 < ..., m_i - i counts the non-members below m_i and never
  // decreases. The answer is k + i for the first i with m_i - i > k (i = size if none), and a
  // child holds that i exactly when it is the first whose last member passes the test.
  const void* p = root_;
  if (p == nullptr) return static_cast<NODEID>(k);
  Count before = 0;
  for (int d = 0; d < height_; ++d) {
    const Inner* in = asInner(p);
    int j = 0;
    for (; j < in->n; ++j) {
      const Count through = before + in->cnt[j];
      if (static_cast<Count>(in->maxKey[j]) - (through - 1) > k) break;
      before = through;
    }
    if (j == in->n) return static_cast<NODEID>(k + before);
    p = in->child[j];
    prefetchNode(p, d + 1 == height_);
  }
  const Key* leaf = asLeaf(p);
  return static_cast<NODEID>(k + before + firstGapAbove(leafKeys(leaf), leafSize(leaf), before, k));
}

inline NODEID MemberSet::nthMemberExcept(Count k, NODEID excluded) const {
  if (inWord()) {
    return selectBit(word_ & ~(std::uint64_t{1} << excluded), static_cast<unsigned>(k));
  }
  return nthMember(k < rank(excluded) ? k : k + 1);
}

inline NODEID MemberSet::eraseNthMemberExcept(Count k, NODEID excluded, Count excludedRank) {
  using namespace member_set_detail;
  if (inWord()) {
    const NODEID node =
        selectBit(word_ & ~(std::uint64_t{1} << excluded), static_cast<unsigned>(k));
    word_ &= ~(std::uint64_t{1} << node);
    --size_;
    return node;
  }
  assert(excludedRank == rank(excluded));
  const Count nth = k < excludedRank ? k : k + 1;
  if (inBits()) {
    const NODEID node = nthMember(nth);
    eraseIfPresent(node);
    return node;
  }
  // As eraseInTree: a leaf that keeps enough keys under the root alone is done here.
  if (height_ > 1) return eraseNthAnywhere(nth);
  Inner* parent = nullptr;
  int j = 0;
  Count pos = nth;
  Key* leaf;
  if (height_ == 0) {
    leaf = asLeaf(root_);
  } else {
    parent = asInner(root_);
    while (pos >= parent->cnt[j]) pos -= parent->cnt[j++];
    leaf = asLeaf(parent->child[j]);
  }
  if (!keepsAfterErase(leaf, parent != nullptr)) return eraseNthAnywhere(nth);
  const NODEID node = leafKeys(leaf)[pos];
  eraseInLeaf(parent, j, leaf, static_cast<int>(pos));
  return node;
}

inline NODEID MemberSet::insertNthNonMember(Count k) {
  // A tree under one inner level at most is in the caches: a selection and an insert by key cost
  // little there. Above, the nodes a request passes through are likely not.
  if (inWord() || inBits() || height_ <= 1) {
    const NODEID node = nthNonMember(k);
    insert(node);
    return node;
  }
  const NODEID node = insertNthAnywhere(k);
  if (size_ >= 2 * (largestInTree() / 64 + 1)) switchToBits();
  return node;
}

inline void MemberSet::insert(NODEID node) {
  [[maybe_unused]] const bool added = insertIfAbsent(node);
  assert(added);
}

inline void MemberSet::erase(NODEID node) {
  [[maybe_unused]] const bool removed = eraseIfPresent(node);
  assert(removed);
}

inline bool MemberSet::insertIfAbsent(NODEID node, bool fetchedAhead) {
  assert(0 <= node && node < nNodes_);
  if (inWord()) {
    const std::uint64_t bit = std::uint64_t{1} << node;
    const bool absent = (word_ & bit) == 0;
    word_ |= bit;
    size_ += absent ? 1 : 0;
    return absent;
  }
  if (inBits()) {
    if (node >= bitNodes()) return insertBeyondBits(node);
    std::uint64_t& word = bits()[node >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (node & 63);
    if ((word & bit) != 0) return false;
    word |= bit;
    ++size_;
    addToCounts(node, 1);
    return true;
  }
  if (!insertInTree(node, fetchedAhead)) return false;
  // Two members a word, over the words up to the largest member.
  if (size_ >= 2 * (largestInTree() / 64 + 1)) switchToBits();
  return true;
}

// The updates that stay inside one leaf, under no inner node or under the root alone, are done
// here: with groups of up to several hundred members that is nearly every update. Anything that
// allocates, splits or merges goes to the general path.
inline bool MemberSet::insertInTree(NODEID node, bool fetchedAhead) {
  using namespace member_set_detail;
  Inner* parent = nullptr;
  int j = 0;
  Key* leaf;
  if (height_ == 0) {
    if (root_ == nullptr) return insertAnywhere(node, fetchedAhead);
    leaf = asLeaf(root_);
  } else if (height_ == 1) {
    parent = asInner(root_);
    // A node above every member goes to the last child, whose largest key then grows.
    const int last = parent->n - 1;
    j = lowerBound(parent->maxKey, last, node);
    leaf = asLeaf(parent->child[j]);
  } else {
    return insertAnywhere(node, fetchedAhead);
  }
  const int n = leafSize(leaf);
  Key* keys = leafKeys(leaf);
  const int pos = lowerBound(keys, n, node);
  if (pos < n && keys[pos] == node) return false;
  if (n == leafCap(leaf)) return insertAnywhere(node, fetchedAhead);
  for (int i = n; i > pos; --i) keys[i] = keys[i - 1];
  keys[pos] = node;
  leafSize(leaf) = n + 1;
  if (parent != nullptr) {
    ++parent->cnt[j];
    parent->maxKey[j] = parent->maxKey[j] < node ? node : parent->maxKey[j];
  }
  ++size_;
  return true;
}

inline bool MemberSet::eraseIfPresent(NODEID node, bool fetchedAhead) {
  if (inWord()) {
    if (static_cast<std::uint64_t>(node) >= static_cast<std::uint64_t>(nNodes_)) return false;
    const std::uint64_t bit = std::uint64_t{1} << node;
    const bool present = (word_ & bit) != 0;
    word_ &= ~bit;
    size_ -= present ? 1 : 0;
    return present;
  }
  if (inBits()) {
    if (static_cast<Count>(static_cast<std::uint32_t>(node)) >= bitNodes()) return false;
    std::uint64_t& word = bits()[node >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (node & 63);
    if ((word & bit) == 0) return false;
    word &= ~bit;
    --size_;
    addToCounts(node, ~std::uint32_t{0});
    if (size_ < bitWords_) switchToTree();
    return true;
  }
  return eraseInTree(node, fetchedAhead);
}

inline bool MemberSet::eraseInTree(NODEID node, bool fetchedAhead) {
  using namespace member_set_detail;
  Inner* parent = nullptr;
  int j = 0;
  Key* leaf;
  if (height_ == 0) {
    if (root_ == nullptr) return false;
    leaf = asLeaf(root_);
  } else if (height_ == 1) {
    parent = asInner(root_);
    j = lowerBound(parent->maxKey, parent->n, node);
    if (j == parent->n) return false;
    leaf = asLeaf(parent->child[j]);
  } else {
    return eraseAnywhere(node, fetchedAhead);
  }
  const int n = leafSize(leaf);
  const int pos = lowerBound(leafKeys(leaf), n, node);
  if (pos == n || leafKeys(leaf)[pos] != node) return false;
  if (!keepsAfterErase(leaf, parent != nullptr)) return eraseAnywhere(node, fetchedAhead);
  eraseInLeaf(parent, j, leaf, pos);
  return true;
}

inline void MemberSet::stepPath(PathAhead& path) const {
  using namespace member_set_detail;
  if (path.node == nullptr || path.levels == 0) return;
  if (height_ < 0 || generation_ != path.generation) {
    path.node = nullptr;
    return;
  }
  const Inner* in = asInner(path.node);
  const int last = in->n - 1;
  int j = 0;
  Count k = path.k;
  // Bounded by the node's children: the counts may have moved since the rank was drawn.
  switch (path.target) {
    case PathTarget::member:
      for (; j < last && k >= in->cnt[j]; ++j) k -= in->cnt[j];
      path.k = k;
      break;
    case PathTarget::nonMember: {
      Count before = path.before;
      for (; j < last; ++j) {
        const Count through = before + in->cnt[j];
        if (static_cast<Count>(in->maxKey[j]) - (through - 1) > k) break;
        before = through;
      }
      path.before = before;
      break;
    }
    case PathTarget::node:
      j = lowerBound(in->maxKey, last, static_cast<Key>(k));
      break;
  }
  path.node = in->child[j];
  --path.levels;
  prefetchNode(path.node, path.levels == 0);
}

}  // namespace grouptrace
