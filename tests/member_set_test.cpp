#include "member_set/member_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

// The set takes its nodes from the non-throwing allocation functions. Replacing them here lets
// a test make the n-th of them fail; -1 means none does. Everything else in this program
// allocates as usual.
static int gNothrowFailsAfter = -1;

static bool nothrowShouldFail() {
  if (gNothrowFailsAfter < 0) return false;
  return gNothrowFailsAfter-- == 0;
}

void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  if (nothrowShouldFail()) return nullptr;
  try {
    return ::operator new(bytes);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  if (nothrowShouldFail()) return nullptr;
  try {
    return ::operator new[](bytes);
  } catch (...) {
    return nullptr;
  }
}

namespace grouptrace {
namespace {

constexpr NODEID kMaxNodes = std::numeric_limits<NODEID>::max();  // 2^31 - 1
// Networks up to this size also keep one flag per node and the list of non-members.
constexpr NODEID kFlagLimit = 1 << 20;

// The plain answer to every query: sorted member ids, and for small networks a flag per node
// plus the sorted non-member ids. Linear work per update, nothing clever.
class Model {
 public:
  explicit Model(NODEID nNodes) : nNodes_(nNodes) {
    if (nNodes <= kFlagLimit) {
      flags_.assign(static_cast<std::size_t>(nNodes), false);
      nonMembers_.resize(static_cast<std::size_t>(nNodes));
      for (NODEID v = 0; v < nNodes; ++v) nonMembers_[static_cast<std::size_t>(v)] = v;
    }
  }

  NODEID nNodes() const { return nNodes_; }
  bool small() const { return !flags_.empty(); }
  Count size() const { return static_cast<Count>(members_.size()); }
  Count nonMembers() const { return nNodes_ - size(); }
  const std::vector<NODEID>& members() const { return members_; }
  const std::vector<bool>& flags() const { return flags_; }

  bool contains(NODEID v) const { return std::binary_search(members_.begin(), members_.end(), v); }

  void insert(NODEID v) {
    members_.insert(std::lower_bound(members_.begin(), members_.end(), v), v);
    if (small()) {
      flags_[static_cast<std::size_t>(v)] = true;
      nonMembers_.erase(std::lower_bound(nonMembers_.begin(), nonMembers_.end(), v));
    }
  }

  void erase(NODEID v) {
    members_.erase(std::lower_bound(members_.begin(), members_.end(), v));
    if (small()) {
      flags_[static_cast<std::size_t>(v)] = false;
      nonMembers_.insert(std::lower_bound(nonMembers_.begin(), nonMembers_.end(), v), v);
    }
  }

  Count rank(NODEID v) const {
    return std::lower_bound(members_.begin(), members_.end(), v) - members_.begin();
  }

  NODEID nthMember(Count k) const { return members_[static_cast<std::size_t>(k)]; }

  NODEID nthNonMember(Count k) const {
    if (small()) return nonMembers_[static_cast<std::size_t>(k)];
    // Every member at or below the running answer pushes it up by one.
    Count answer = k;
    for (NODEID m : members_) {
      if (m > answer) break;
      ++answer;
    }
    return static_cast<NODEID>(answer);
  }

 private:
  NODEID nNodes_;
  std::vector<NODEID> members_;
  std::vector<bool> flags_;
  std::vector<NODEID> nonMembers_;
};

// Drives a MemberSet and the model through the same updates and compares their answers.
class Harness {
 public:
  explicit Harness(NODEID nNodes, std::uint64_t seed = 12345)
      : set(nNodes), model(nNodes), rng(seed) {}

  Count pick(Count bound) {  // uniform in [0, bound)
    return std::uniform_int_distribution<Count>(0, bound - 1)(rng);
  }
  NODEID pickNode() { return static_cast<NODEID>(pick(model.nNodes())); }

  void insert(NODEID v) {
    set.insert(v);
    model.insert(v);
  }
  void erase(NODEID v) {
    set.erase(v);
    model.erase(v);
  }
  // A join as the generator makes it: the k-th non-member for a random k.
  void join() { insert(model.nthNonMember(pick(model.nonMembers()))); }
  void leave() { erase(model.nthMember(pick(model.size()))); }
  // Joins while below target, leaves while above, random either way when at it.
  void stepToward(Count target) {
    const bool grow = model.size() < target || (model.size() == target && pick(2) == 0);
    if (grow && model.nonMembers() > 0) {
      join();
    } else if (model.size() > 0) {
      leave();
    } else {
      join();
    }
  }

  // A handful of random queries of each kind against the model.
  ::testing::AssertionResult spotCheck() {
    if (set.size() != model.size()) {
      return ::testing::AssertionFailure() << "size " << set.size() << " expected " << model.size();
    }
    for (int i = 0; i < 3; ++i) {
      const NODEID v = pickNode();
      if (set.contains(v) != model.contains(v)) {
        return ::testing::AssertionFailure() << "contains(" << v << ") wrong";
      }
      if (set.rank(v) != model.rank(v)) {
        return ::testing::AssertionFailure()
               << "rank(" << v << ") = " << set.rank(v) << " expected " << model.rank(v);
      }
      if (model.size() > 0) {
        const Count k = pick(model.size());
        if (set.nthMember(k) != model.nthMember(k)) {
          return ::testing::AssertionFailure() << "nthMember(" << k << ") = " << set.nthMember(k)
                                               << " expected " << model.nthMember(k);
        }
      }
      if (model.nonMembers() > 0) {
        const Count k = pick(model.nonMembers());
        if (set.nthNonMember(k) != model.nthNonMember(k)) {
          return ::testing::AssertionFailure()
                 << "nthNonMember(" << k << ") = " << set.nthNonMember(k) << " expected "
                 << model.nthNonMember(k);
        }
      }
    }
    return ::testing::AssertionSuccess();
  }

  // Every answer the set can give: for small networks by scanning the flags over all nodes,
  // for huge ones at every member, next to every member and at the ends of the id range.
  ::testing::AssertionResult fullCheck() const {
    if (set.size() != model.size()) {
      return ::testing::AssertionFailure() << "size " << set.size() << " expected " << model.size();
    }
    return model.small() ? scanFlags() : checkAroundMembers();
  }

  MemberSet set;
  Model model;
  std::mt19937_64 rng;

 private:
  ::testing::AssertionResult scanFlags() const {
    Count below = 0;
    Count gaps = 0;
    const std::vector<bool>& flags = model.flags();
    for (NODEID v = 0; v < model.nNodes(); ++v) {
      const bool member = flags[static_cast<std::size_t>(v)];
      if (set.contains(v) != member) {
        return ::testing::AssertionFailure() << "contains(" << v << ") should be " << member;
      }
      if (set.rank(v) != below) {
        return ::testing::AssertionFailure()
               << "rank(" << v << ") = " << set.rank(v) << " expected " << below;
      }
      if (member) {
        if (set.nthMember(below) != v) {
          return ::testing::AssertionFailure()
                 << "nthMember(" << below << ") = " << set.nthMember(below) << " expected " << v;
        }
        ++below;
      } else {
        if (set.nthNonMember(gaps) != v) {
          return ::testing::AssertionFailure()
                 << "nthNonMember(" << gaps << ") = " << set.nthNonMember(gaps) << " expected "
                 << v;
        }
        ++gaps;
      }
    }
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult checkNode(NODEID v) const {
    const bool member = model.contains(v);
    const Count below = model.rank(v);
    if (set.contains(v) != member) {
      return ::testing::AssertionFailure() << "contains(" << v << ") should be " << member;
    }
    if (set.rank(v) != below) {
      return ::testing::AssertionFailure()
             << "rank(" << v << ") = " << set.rank(v) << " expected " << below;
    }
    if (member && set.nthMember(below) != v) {
      return ::testing::AssertionFailure()
             << "nthMember(" << below << ") = " << set.nthMember(below) << " expected " << v;
    }
    // Below a non-member v lie v - below other non-members.
    if (!member && set.nthNonMember(v - below) != v) {
      return ::testing::AssertionFailure()
             << "nthNonMember(" << v - below << ") = " << set.nthNonMember(v - below)
             << " expected " << v;
    }
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult checkAroundMembers() const {
    const NODEID top = model.nNodes() - 1;
    std::vector<NODEID> probes = {0, top};
    for (NODEID m : model.members()) {
      probes.push_back(m);
      if (m > 0) probes.push_back(m - 1);
      if (m < top) probes.push_back(m + 1);
    }
    for (NODEID v : probes) {
      ::testing::AssertionResult r = checkNode(v);
      if (!r) return r;
    }
    if (model.nonMembers() > 0) {
      const Count last = model.nonMembers() - 1;
      if (set.nthNonMember(last) != model.nthNonMember(last)) {
        return ::testing::AssertionFailure() << "last non-member " << set.nthNonMember(last)
                                             << " expected " << model.nthNonMember(last);
      }
    }
    return ::testing::AssertionSuccess();
  }
};

// Growing to `target` members and back down by random joins and leaves, checking as it goes.
void churnTo(Harness& h, Count target, int steps, int fullEvery) {
  for (int i = 0; i < steps; ++i) {
    h.stepToward(target);
    ASSERT_TRUE(h.spotCheck()) << "after step " << i << " toward " << target;
    if ((i + 1) % fullEvery == 0) {
      ASSERT_TRUE(h.fullCheck()) << "after step " << i;
    }
  }
  ASSERT_TRUE(h.fullCheck());
}

// Once more than one leaf is in use, leaves are at least half full: memory stays within about
// twice the members' own bytes, however the set got to its size.
void expectCompact(const MemberSet& set) {
  EXPECT_LE(set.memoryBytes(), static_cast<std::size_t>(10 * set.size() + 1024))
      << "size " << set.size();
}

TEST(MemberSetTest, EmptySetAnswersFromNodeIdsAlone) {
  for (NODEID n : {1, 2, 1000, kMaxNodes}) {
    MemberSet set(n);
    EXPECT_EQ(set.size(), 0);
    EXPECT_EQ(set.memoryBytes(), 0u);
    EXPECT_FALSE(set.contains(0));
    EXPECT_FALSE(set.contains(n - 1));
    EXPECT_EQ(set.rank(n - 1), 0);
    EXPECT_EQ(set.nthNonMember(0), 0);
    EXPECT_EQ(set.nthNonMember(n - 1), n - 1);
    EXPECT_EQ(set.nthNonMember(n / 2), n / 2);
  }
}

TEST(MemberSetTest, TinyNetworksPassThroughEmptyAndFull) {
  for (NODEID n : {1, 2, 3}) {
    Harness h(n, 7 + static_cast<std::uint64_t>(n));
    for (int i = 0; i < 3000; ++i) {
      // Target cycles over every size 0..n so full and empty both come up often.
      h.stepToward(static_cast<Count>((i / 4) % (n + 1)));
      ASSERT_TRUE(h.fullCheck()) << "n " << n << " step " << i;
    }
  }
  MemberSet one(1);
  one.insert(0);
  EXPECT_TRUE(one.contains(0));
  EXPECT_EQ(one.nthMember(0), 0);
  EXPECT_EQ(one.rank(0), 0);
  one.erase(0);
  EXPECT_EQ(one.nthNonMember(0), 0);
  EXPECT_EQ(one.memoryBytes(), 0u);
}

TEST(MemberSetTest, SparseSetsInTheFullIdRange) {
  Harness h(kMaxNodes, 2024);
  // The highest ids and the lowest, where off-by-one and overflow faults would show.
  for (NODEID v : {kMaxNodes - 1, kMaxNodes - 2, kMaxNodes - 4, 0, 1, 3}) h.insert(v);
  ASSERT_TRUE(h.fullCheck());
  EXPECT_EQ(h.set.nthNonMember(kMaxNodes - 7), kMaxNodes - 3);
  EXPECT_EQ(h.set.nthNonMember(kMaxNodes - 8), kMaxNodes - 5);
  EXPECT_EQ(h.set.nthNonMember(0), 2);
  EXPECT_EQ(h.set.rank(kMaxNodes - 1), 5);
  EXPECT_EQ(h.set.nthMember(5), kMaxNodes - 1);

  // Random ids across the range, grown past several levels and churned.
  for (int round = 0; round < 3; ++round) {
    while (h.model.size() < 4000) {
      NODEID v = h.pickNode();
      if (!h.model.contains(v)) h.insert(v);
    }
    ASSERT_TRUE(h.fullCheck()) << "round " << round;
    expectCompact(h.set);
    ASSERT_NO_FATAL_FAILURE(churnTo(h, 4000, 3000, 1000));
    ASSERT_NO_FATAL_FAILURE(churnTo(h, 10, 6000, 1000));
    expectCompact(h.set);
  }
}

TEST(MemberSetTest, ClusteredIdsAtTheTopOfTheRange) {
  Harness h(kMaxNodes, 99);
  // A run of consecutive top ids: the non-members below them must be counted exactly.
  for (NODEID v = kMaxNodes - 1; v >= kMaxNodes - 3000; --v) h.insert(v);
  ASSERT_TRUE(h.fullCheck());
  EXPECT_EQ(h.set.nthNonMember(kMaxNodes - 3001), kMaxNodes - 3001);
  for (int i = 0; i < 2000; ++i) h.erase(h.model.nthMember(h.pick(h.model.size())));
  ASSERT_TRUE(h.fullCheck());
  expectCompact(h.set);
}

TEST(MemberSetTest, DenseSetsStayExact) {
  for (NODEID n : {1000, 10000, 100000}) {
    Harness h(n, static_cast<std::uint64_t>(n));
    const Count target = n - n / 100;
    while (h.model.size() < target) h.join();
    ASSERT_TRUE(h.fullCheck()) << "n " << n;
    expectCompact(h.set);
    const int fullEvery = n >= 100000 ? 5000 : 500;
    ASSERT_NO_FATAL_FAILURE(churnTo(h, target, 20000, fullEvery)) << "n " << n;
    // Down to 95% and back up, through a phase of mostly leaves.
    ASSERT_NO_FATAL_FAILURE(churnTo(h, n - n / 20, n / 20 + 2000, fullEvery)) << "n " << n;
    expectCompact(h.set);
  }
}

TEST(MemberSetTest, FullSetAndBackToEmpty) {
  for (NODEID n : {1000, 5000}) {
    Harness h(n, 3 * static_cast<std::uint64_t>(n));
    while (h.model.nonMembers() > 1) h.join();
    ASSERT_TRUE(h.fullCheck());
    const NODEID lastOut = h.model.nthNonMember(0);
    EXPECT_EQ(h.set.nthNonMember(0), lastOut);
    h.insert(lastOut);
    ASSERT_TRUE(h.fullCheck());
    EXPECT_EQ(h.set.size(), n);
    EXPECT_EQ(h.set.rank(n - 1), n - 1);
    EXPECT_EQ(h.set.nthMember(n - 1), n - 1);
    expectCompact(h.set);
    while (h.model.size() > 0) {
      h.leave();
      ASSERT_TRUE(h.spotCheck());
    }
    ASSERT_TRUE(h.fullCheck());
    EXPECT_EQ(h.set.memoryBytes(), 0u);
  }
}

TEST(MemberSetTest, OrderedInsertsAndErasesSplitAndMergeAtTheEdges) {
  const NODEID n = 50000;
  Harness h(n, 5);
  // Ascending inserts always split the rightmost nodes; descending, the leftmost.
  for (NODEID v = 0; v < 20000; v += 2) h.insert(v);
  ASSERT_TRUE(h.fullCheck());
  for (NODEID v = n - 1; v >= 30000; v -= 3) h.insert(v);
  ASSERT_TRUE(h.fullCheck());
  expectCompact(h.set);
  // Erasing from the front underflows the leftmost leaves, from the back the rightmost.
  for (NODEID v = 0; v < 16000; v += 2) h.erase(v);
  ASSERT_TRUE(h.fullCheck());
  expectCompact(h.set);
  for (NODEID v = 30000 + (n - 1 - 30000) % 3; v < 48000; v += 3) h.erase(v);
  ASSERT_TRUE(h.fullCheck());
  expectCompact(h.set);
  // Erasing every other member thins all leaves at once.
  std::vector<NODEID> members = h.model.members();
  for (std::size_t i = 0; i < members.size(); i += 2) h.erase(members[i]);
  ASSERT_TRUE(h.fullCheck());
  expectCompact(h.set);
}

TEST(MemberSetTest, RepeatedGrowAndShrinkGivesMemoryBack) {
  Harness h(100000, 77);
  for (int cycle = 0; cycle < 6; ++cycle) {
    const Count high = 500 + h.pick(6000);
    while (h.model.size() < high) h.join();
    ASSERT_TRUE(h.fullCheck()) << "cycle " << cycle;
    expectCompact(h.set);
    const Count low = h.pick(30);
    ASSERT_NO_FATAL_FAILURE(churnTo(h, low, static_cast<int>(2 * high), 2000));
    // The churn wanders by one around its target; settle exactly on it.
    while (h.model.size() > low) h.leave();
    while (h.model.size() < low) h.join();
    ASSERT_TRUE(h.fullCheck());
    // Back to a single leaf that has shrunk with its contents.
    EXPECT_LE(h.set.memoryBytes(), 512u) << "cycle " << cycle << " size " << low;
  }
}

TEST(MemberSetTest, SmallSetsInAHugeNetworkCostAFewHundredBytes) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<NODEID> anyNode(0, kMaxNodes - 1);
  MemberSet set(kMaxNodes);
  set.insert(kMaxNodes - 1);
  EXPECT_LE(set.memoryBytes(), 64u);
  while (set.size() < 20) {
    const NODEID v = anyNode(rng);
    if (!set.contains(v)) set.insert(v);
  }
  EXPECT_GT(set.memoryBytes(), 0u);
  EXPECT_LE(set.memoryBytes(), 512u);

  // Grown large and erased back to 20 members, it returns to the same order of size.
  while (set.size() < 20000) {
    const NODEID v = anyNode(rng);
    if (!set.contains(v)) set.insert(v);
  }
  EXPECT_GT(set.memoryBytes(), 20000u * sizeof(NODEID));
  expectCompact(set);
  while (set.size() > 20) {
    set.erase(set.nthMember(static_cast<Count>(rng() % static_cast<std::uint64_t>(set.size()))));
  }
  EXPECT_LE(set.memoryBytes(), 512u);
  // A lone survivor goes back to the smallest leaf.
  while (set.size() > 1) set.erase(set.nthMember(set.size() - 1));
  EXPECT_LE(set.memoryBytes(), 64u);
  set.erase(set.nthMember(0));
  EXPECT_EQ(set.memoryBytes(), 0u);
}

TEST(MemberSetTest, TenThousandSmallSessions) {
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<NODEID> anyNode(0, kMaxNodes - 1);
  std::vector<MemberSet> sessions;
  std::vector<std::vector<NODEID>> expected(10000);
  for (int s = 0; s < 10000; ++s) {
    sessions.emplace_back(kMaxNodes);
    while (sessions.back().size() < 20) {
      const NODEID v = anyNode(rng);
      if (!sessions.back().contains(v)) {
        sessions.back().insert(v);
        expected[static_cast<std::size_t>(s)].push_back(v);
      }
    }
  }
  std::size_t total = 0;
  for (const MemberSet& set : sessions) total += set.memoryBytes();
  EXPECT_LE(total, 10000u * 256u);
  // The vector moved every set as it grew; each must still hold exactly its own members.
  for (std::size_t s = 0; s < sessions.size(); ++s) {
    std::vector<NODEID> want = expected[s];
    std::sort(want.begin(), want.end());
    for (Count k = 0; k < 20; ++k) {
      ASSERT_EQ(sessions[s].nthMember(k), want[static_cast<std::size_t>(k)]) << "session " << s;
    }
  }
}

// The updates that test membership themselves: a repeated insert or an erase of a non-member
// changes nothing, whatever the set's shape (one word, a root leaf, one or more inner levels),
// and each answer matches the model's before the update.
TEST(MemberSetTest, ConditionalUpdatesAnswerAndChangeOnlyWhenTheyApply) {
  for (const NODEID nNodes : {NODEID{40}, NODEID{64}, NODEID{3000}, kMaxNodes}) {
    for (const Count target : {Count{20}, Count{500}, Count{2500}}) {
      if (target >= nNodes) continue;
      Harness h(nNodes,
                static_cast<std::uint64_t>(nNodes) * 31 + static_cast<std::uint64_t>(target));
      for (int step = 0; step < 6 * target; ++step) {
        // Mostly nodes next to members, where a search that is off by one would show.
        NODEID v = h.pickNode();
        if (h.model.size() > 0 && h.pick(4) != 0) {
          const NODEID m = h.model.nthMember(h.pick(h.model.size()));
          const NODEID shifted = m + static_cast<NODEID>(h.pick(3)) - 1;
          v = shifted < 0 || shifted >= nNodes ? m : shifted;
        }
        const bool member = h.model.contains(v);
        const bool grow = h.model.size() < target;
        if (grow) {
          ASSERT_EQ(h.set.insertIfAbsent(v), !member) << "insert " << v << " at step " << step;
          if (!member) h.model.insert(v);
        } else {
          ASSERT_EQ(h.set.eraseIfPresent(v), member) << "erase " << v << " at step " << step;
          if (member) h.model.erase(v);
        }
        ASSERT_TRUE(h.spotCheck()) << "after step " << step;
      }
      ASSERT_TRUE(h.fullCheck()) << nNodes << " nodes, target " << target;
      // Draining through the same calls gives the memory back.
      for (NODEID m : std::vector<NODEID>(h.model.members())) {
        ASSERT_FALSE(h.set.insertIfAbsent(m));
        ASSERT_TRUE(h.set.eraseIfPresent(m));
        ASSERT_FALSE(h.set.eraseIfPresent(m));
        h.model.erase(m);
      }
      EXPECT_EQ(h.set.size(), 0);
      EXPECT_EQ(h.set.memoryBytes(), 0u);
    }
  }
}

// Inserts v with the set's first, second, ... allocation refused until an attempt needs no more
// than that, calling onRefused(failAt) after each refused attempt, which must have thrown.
template <class OnRefused>
void insertThroughRefusals(MemberSet& set, NODEID v, OnRefused onRefused) {
  for (int failAt = 0;; ++failAt) {
    gNothrowFailsAfter = failAt;
    bool threw = false;
    try {
      set.insert(v);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    gNothrowFailsAfter = -1;
    if (!threw) return;
    onRefused(failAt);
  }
}

TEST(MemberSetTest, FailedAllocationLeavesTheSetUnchanged) {
  // Each insert is first tried with its first, second, ... allocation failing until one
  // attempt needs no more than that; a failed attempt must throw and change nothing. Sizes
  // reach several inner levels, so leaf, inner and new-root allocations all get refused.
  Harness h(100000, 31);
  int refusals = 0;
  int refusedInner = 0;
  while (h.model.size() < 6000) {
    const NODEID v = h.model.nthNonMember(h.pick(h.model.nonMembers()));
    insertThroughRefusals(h.set, v, [&](int failAt) {
      ++refusals;
      if (failAt > 0) ++refusedInner;
      EXPECT_EQ(h.set.size(), h.model.size());
      EXPECT_FALSE(h.set.contains(v));
      EXPECT_TRUE(h.spotCheck());
    });
    ASSERT_FALSE(HasFailure());
    h.model.insert(v);
    ASSERT_TRUE(h.set.contains(v));
  }
  ASSERT_TRUE(h.fullCheck());
  EXPECT_GT(refusals, 100);
  EXPECT_GT(refusedInner, 10);
  // Shrinking a root leaf is optional: refused, the set keeps the larger leaf and stays
  // correct; the next erase shrinks it. At 8 members the root leaf has room for 30.
  while (h.model.size() > 8) h.leave();
  const std::size_t before = h.set.memoryBytes();
  gNothrowFailsAfter = 0;
  h.leave();
  gNothrowFailsAfter = -1;
  ASSERT_TRUE(h.fullCheck());
  EXPECT_EQ(h.set.memoryBytes(), before);
  h.leave();
  ASSERT_TRUE(h.fullCheck());
  EXPECT_LT(h.set.memoryBytes(), before);
}

// Members dense among the low ids take a bit per id up to the largest, in a generator's network
// and in a reader's, which does not know the network's size; a member far beyond, or thinning
// out, brings the tree back. Every answer stays exact through each change of form.
TEST(MemberSetTest, DenseLowIdsTakeABitEachAndGiveWayToTheTree) {
  Harness g(1000, 17);
  while (g.model.size() < 500) g.join();
  ASSERT_TRUE(g.fullCheck());
  // A bit per node and a count per 512 of them.
  EXPECT_LE(g.set.memoryBytes(), (16u + 2u) * sizeof(std::uint64_t));
  ASSERT_NO_FATAL_FAILURE(churnTo(g, 10, 1200, 100));
  expectCompact(g.set);

  Harness h(kMaxNodes, 21);
  for (NODEID v = 0; v < 200; ++v) h.insert(3 * v);
  ASSERT_TRUE(h.fullCheck());
  // Words for ids 0..639 and two 32-bit block counts.
  EXPECT_EQ(h.set.memoryBytes(), (10 + 1) * sizeof(std::uint64_t));
  // 63 words are allocated as 64, an eighth of the next power of two at most, with 8 counts.
  constexpr std::size_t kBytes63 = (64 + 4) * sizeof(std::uint64_t);
  h.insert(4000);  // 63 words for 201 members: still dense enough
  ASSERT_TRUE(h.fullCheck());
  EXPECT_EQ(h.set.memoryBytes(), kBytes63);
  h.insert(70000);  // 1094 words for 202 members: too sparse
  ASSERT_TRUE(h.fullCheck());
  EXPECT_NE(h.set.memoryBytes(), kBytes63);
  expectCompact(h.set);
  h.erase(70000);
  h.insert(1);  // 202 members within 63 words again
  ASSERT_TRUE(h.fullCheck());
  EXPECT_EQ(h.set.memoryBytes(), kBytes63);
  while (h.model.size() > 62) h.leave();  // under one member a word
  ASSERT_TRUE(h.fullCheck());
  EXPECT_NE(h.set.memoryBytes(), kBytes63);
  expectCompact(h.set);
  while (h.model.size() > 0) h.leave();
  EXPECT_EQ(h.set.memoryBytes(), 0u);
}

// Each update is tried with its first, second, ... allocation refused until it needs no more: a
// refused insert throws and changes nothing, and a change of form that cannot get its memory is
// put off, never half done. The updates cross every change of form in both directions.
TEST(MemberSetTest, RefusedAllocationsAroundBitsKeepTheSetExact) {
  Harness h(kMaxNodes, 23);
  auto insert = [&h](NODEID v) {
    insertThroughRefusals(h.set, v, [&](int) {
      EXPECT_FALSE(h.set.contains(v)) << v;
      EXPECT_TRUE(h.fullCheck()) << "refused insert of " << v;
    });
    ASSERT_FALSE(::testing::Test::HasFailure());
    h.model.insert(v);
    ASSERT_TRUE(h.fullCheck()) << "insert of " << v;
  };
  auto erase = [&h](NODEID v) {
    gNothrowFailsAfter = 0;
    h.set.erase(v);
    gNothrowFailsAfter = -1;
    h.model.erase(v);
    ASSERT_TRUE(h.fullCheck()) << "erase of " << v;
  };
  for (NODEID v = 0; v < 40; ++v) ASSERT_NO_FATAL_FAILURE(insert(7 * v));
  ASSERT_NO_FATAL_FAILURE(insert(2000));   // more words
  ASSERT_NO_FATAL_FAILURE(insert(10000));  // to the tree
  ASSERT_NO_FATAL_FAILURE(erase(10000));
  for (NODEID v = 1; h.model.size() < 70; v += 7) ASSERT_NO_FATAL_FAILURE(insert(v));
  // The move to bits was put off while refused; the next unrefused insert makes it.
  constexpr std::size_t kBytes32 = (32 + 2) * sizeof(std::uint64_t);
  h.insert(3);
  EXPECT_EQ(h.set.memoryBytes(), kBytes32);
  while (h.model.size() > 20) ASSERT_NO_FATAL_FAILURE(erase(h.model.nthMember(0)));
  // Under one member a word, the tree it could not get is taken at the next erase.
  EXPECT_EQ(h.set.memoryBytes(), kBytes32);
  h.leave();
  ASSERT_TRUE(h.fullCheck());
  EXPECT_LT(h.set.memoryBytes(), kBytes32);
}

// Dense groups of networks far past 65,536 nodes take bits too, at the same two members a word
// up to the largest member, and give them up below one a word: a full group of a million nodes
// takes a bit per node and a little for the counts, and every answer scans exact.
TEST(MemberSetTest, BitsServeDenseGroupsOfLargeNetworks) {
  constexpr NODEID kNodes = 1000000;
  constexpr std::size_t kWords = (kNodes + 63) / 64;  // 15,625
  MemberSet set(kNodes);
  std::vector<bool> member(kNodes, false);
  std::mt19937_64 random(41);
  auto scan = [&set, &member]() -> ::testing::AssertionResult {
    Count below = 0;
    for (NODEID v = 0; v < kNodes; ++v) {
      const bool in = member[static_cast<std::size_t>(v)];
      if (set.contains(v) != in) return ::testing::AssertionFailure() << "contains " << v;
      if (set.rank(v) != below) return ::testing::AssertionFailure() << "rank " << v;
      if (in ? set.nthMember(below) != v : set.nthNonMember(v - below) != v) {
        return ::testing::AssertionFailure() << "selection of " << v;
      }
      below += in ? 1 : 0;
    }
    return ::testing::AssertionSuccess();
  };
  // Members up to node 100,000 only: 1563 words, bits from 3126 members on.
  auto addBelow = [&](NODEID limit) {
    NODEID v;
    do v = static_cast<NODEID>(random() % static_cast<std::uint64_t>(limit));
    while (member[static_cast<std::size_t>(v)]);
    set.insert(v);
    member[static_cast<std::size_t>(v)] = true;
  };
  while (set.size() < 3125) addBelow(100000);
  const std::size_t treeBytes = set.memoryBytes();
  EXPECT_GT(treeBytes, 3125u * sizeof(NODEID));
  addBelow(100000);
  const std::size_t bitBytes = set.memoryBytes();
  // The words to node 100,000, rounded up by an eighth of the next power of two at most, and
  // their counts.
  EXPECT_GE(bitBytes, 1563u * 8);
  EXPECT_LE(bitBytes, (1563u + 256 + 128) * 8);
  ASSERT_TRUE(scan());
  // Every node: the words of the whole network, grown as the largest member rose.
  for (NODEID v = 0; v < kNodes; ++v) {
    if (!member[static_cast<std::size_t>(v)]) {
      set.insert(v);
      member[static_cast<std::size_t>(v)] = true;
    }
  }
  EXPECT_EQ(set.size(), kNodes);
  EXPECT_LE(set.memoryBytes(), (kWords + 2048 + kWords / 14) * 8);
  ASSERT_TRUE(scan());
  // Down to one member a word over the 15,625 words, still bits; one fewer, the tree.
  std::vector<NODEID> order(kNodes);
  for (NODEID v = 0; v < kNodes; ++v) order[static_cast<std::size_t>(v)] = v;
  std::shuffle(order.begin(), order.end(), random);
  std::size_t next = 0;
  const std::size_t fullBytes = set.memoryBytes();
  while (static_cast<std::size_t>(set.size()) > kWords) {
    const NODEID v = order[next++];
    set.erase(v);
    member[static_cast<std::size_t>(v)] = false;
  }
  EXPECT_EQ(set.memoryBytes(), fullBytes);
  ASSERT_TRUE(scan());
  const NODEID last = order[next++];
  set.erase(last);
  member[static_cast<std::size_t>(last)] = false;
  EXPECT_NE(set.memoryBytes(), fullBytes);
  EXPECT_LE(set.memoryBytes(), static_cast<std::size_t>(10 * set.size() + 1024));
  ASSERT_TRUE(scan());
}

// A leave's selection and erase in one search: for every form (a word, bits, a root leaf, one
// inner level, several) and for members on both sides of the excluded one, the member removed
// is the one the selection names, and the set stays exact through merges and shrinking roots.
TEST(MemberSetTest, ErasingTheKthMemberRemovesTheOneItNames) {
  for (const NODEID nNodes : {60, 1000, 100000, kMaxNodes}) {
    Harness h(nNodes, 43);
    const NODEID excluded = nNodes / 2;
    h.insert(excluded);
    const Count peak = nNodes == 60 ? 50 : nNodes == 1000 ? 800 : 8000;
    while (h.model.size() < peak) h.join();
    ASSERT_TRUE(h.fullCheck());
    int fromBelow = 0;
    while (h.model.size() > 1) {
      const Count others = h.model.size() - 1;
      const Count k = h.pick(others);
      const Count excludedRank = h.model.rank(excluded);
      const NODEID expected = h.model.nthMember(k < excludedRank ? k : k + 1);
      ASSERT_EQ(h.set.eraseNthMemberExcept(k, excluded, excludedRank), expected)
          << nNodes << " size " << h.model.size();
      h.model.erase(expected);
      fromBelow += expected < excluded ? 1 : 0;
      ASSERT_TRUE(h.spotCheck()) << nNodes << " size " << h.model.size();
      if (h.model.size() % 1000 == 0) {
        ASSERT_TRUE(h.fullCheck()) << h.model.size();
      }
    }
    ASSERT_TRUE(h.fullCheck());
    EXPECT_TRUE(h.set.contains(excluded));
    EXPECT_GT(fromBelow, 0) << nNodes;
  }
}

// A join's selection and insert in one search, through every form and through splits of
// leaves, inner nodes and the root: the member added is the one the selection names, and an
// insert whose allocation is refused throws and leaves the set as it was.
TEST(MemberSetTest, AddingTheKthNonMemberAddsTheOneItNames) {
  for (const NODEID nNodes : {60, 1000, 100000, kMaxNodes}) {
    Harness h(nNodes, 47);
    const Count peak = nNodes == 60 ? 60 : nNodes == 1000 ? 900 : 12000;
    int refused = 0;
    while (h.model.size() < peak) {
      const Count k = h.pick(h.model.nonMembers());
      const NODEID expected = h.model.nthNonMember(k);
      // Every fifth insert first meets a refusal of its first allocation.
      if (h.model.size() % 5 == 0) {
        gNothrowFailsAfter = 0;
        try {
          ASSERT_EQ(h.set.insertNthNonMember(k), expected) << nNodes << " size " << h.model.size();
          gNothrowFailsAfter = -1;
          h.model.insert(expected);
          continue;
        } catch (const std::bad_alloc&) {
          gNothrowFailsAfter = -1;
          ++refused;
          ASSERT_FALSE(h.set.contains(expected));
          ASSERT_TRUE(h.spotCheck()) << "refused at size " << h.model.size();
        }
      }
      ASSERT_EQ(h.set.insertNthNonMember(k), expected) << nNodes << " size " << h.model.size();
      h.model.insert(expected);
      ASSERT_TRUE(h.spotCheck()) << nNodes << " size " << h.model.size();
      if (h.model.size() % 2000 == 0) {
        ASSERT_TRUE(h.fullCheck()) << h.model.size();
      }
    }
    ASSERT_TRUE(h.fullCheck());
    if (nNodes > 64) {
      EXPECT_GT(refused, 0) << nNodes;
    }
  }
}

// The leaf a path fetched ahead ends at, or null when it stopped short.
const member_set_detail::Key* pathLeaf(const MemberSet& set, MemberSet::PathAhead& path) {
  while (path.node != nullptr && path.levels > 0) set.stepPath(path);
  return path.node == nullptr ? nullptr : member_set_detail::asLeaf(path.node);
}

bool leafHolds(const member_set_detail::Key* leaf, NODEID node) {
  const auto* keys = member_set_detail::leafKeys(leaf);
  return std::find(keys, keys + member_set_detail::leafSize(leaf), node) !=
         keys + member_set_detail::leafSize(leaf);
}

// A path fetched ahead for the k-th member, the k-th non-member or a node ends at the leaf the
// request's own descent reaches: the one holding that member, or the first member above the
// non-member or node (the last leaf when there is none).
TEST(MemberSetTest, PathsFetchedAheadEndAtTheLeafOfTheirRequest) {
  for (const NODEID nNodes : {1 << 20, kMaxNodes}) {
    Harness h(nNodes, 53);
    while (h.model.size() < 20000) h.join();
    for (int i = 0; i < 300; ++i) {
      const int steps = i % 3;
      MemberSet::PathAhead path;
      const Count k = h.pick(h.model.size());
      h.set.startPath(path, MemberSet::PathTarget::member, k, steps);
      ASSERT_EQ(path.levels, steps) << nNodes;
      const auto* leaf = pathLeaf(h.set, path);
      ASSERT_NE(leaf, nullptr);
      EXPECT_TRUE(leafHolds(leaf, h.model.nthMember(k))) << nNodes << " member " << k;

      const Count j = h.pick(h.model.nonMembers());
      const NODEID nonMember = h.model.nthNonMember(j);
      const Count above = std::min(h.model.rank(nonMember), h.model.size() - 1);
      h.set.startPath(path, MemberSet::PathTarget::nonMember, j, steps);
      leaf = pathLeaf(h.set, path);
      ASSERT_NE(leaf, nullptr);
      EXPECT_TRUE(leafHolds(leaf, h.model.nthMember(above))) << nNodes << " non-member " << j;

      h.set.startPath(path, MemberSet::PathTarget::node, nonMember, steps);
      leaf = pathLeaf(h.set, path);
      ASSERT_NE(leaf, nullptr);
      EXPECT_TRUE(leafHolds(leaf, h.model.nthMember(above))) << nNodes << " node " << nonMember;
    }
    // Sets of one or two levels stay in the caches: no path to fetch.
    Harness small(nNodes, 59);
    while (small.model.size() < 500) small.join();
    MemberSet::PathAhead path;
    small.set.startPath(path, MemberSet::PathTarget::member, 0, 0);
    EXPECT_EQ(path.node, nullptr);
  }
}

// A path outlives the requests before its own. Updates that free no node leave it going; once a
// node is freed (merges, a root that gives way, a move, a switch to bits) it stops without
// reading another node, which the sanitizer builds would catch.
TEST(MemberSetTest, PathsFetchedAheadStopOnceANodeIsFreed) {
  Harness h(kMaxNodes, 61);
  while (h.model.size() < 20000) h.join();
  MemberSet::PathAhead path;
  h.set.startPath(path, MemberSet::PathTarget::member, 100, 9);
  ASSERT_NE(path.node, nullptr);
  // A leaf of more than its minimum loses a key in place.
  for (int i = 0; i < 3; ++i) h.leave();
  const auto* leaf = pathLeaf(h.set, path);
  EXPECT_NE(leaf, nullptr);

  int stopped = 0;
  for (int round = 0; round < 200 && h.model.size() > 0; ++round) {
    h.set.startPath(path, MemberSet::PathTarget::member, h.pick(h.model.size()), 9);
    // Enough leaves to free a node each round, and at the end the whole tree.
    for (int i = 0; i < 200 && h.model.size() > 0; ++i) h.leave();
    if (pathLeaf(h.set, path) == nullptr) ++stopped;
    ASSERT_TRUE(h.spotCheck());
  }
  EXPECT_GT(stopped, 90);

  // Moved away: the paths of both sets stop.
  Harness moved(kMaxNodes, 67);
  while (moved.model.size() < 20000) moved.join();
  MemberSet::PathAhead before;
  moved.set.startPath(before, MemberSet::PathTarget::node, 12345, 9);
  MemberSet other(kMaxNodes);
  other = std::move(moved.set);
  EXPECT_EQ(pathLeaf(moved.set, before), nullptr);
  MemberSet::PathAhead again;
  other.startPath(again, MemberSet::PathTarget::node, 12345, 9);
  MemberSet third(std::move(other));
  EXPECT_EQ(pathLeaf(other, again), nullptr);
  third.startPath(again, MemberSet::PathTarget::node, 12345, 0);
  EXPECT_NE(again.node, nullptr);

  // Dense enough for bits: the tree is freed and its paths stop.
  Harness dense(1 << 17, 71);
  while (dense.model.size() < 2000) dense.join();
  MemberSet::PathAhead sparse;
  dense.set.startPath(sparse, MemberSet::PathTarget::member, 10, 9);
  ASSERT_NE(sparse.node, nullptr);
  for (NODEID v = 0; v < 6000; ++v) {
    if (!dense.model.contains(v)) dense.insert(v);
  }
  EXPECT_EQ(pathLeaf(dense.set, sparse), nullptr);
}

TEST(MemberSetTest, MovesCarryTheMembersAndLeaveAnEmptySet) {
  Harness h(100000, 8);
  for (int i = 0; i < 3000; ++i) h.join();
  MemberSet moved(std::move(h.set));
  EXPECT_EQ(h.set.size(), 0);
  EXPECT_EQ(h.set.memoryBytes(), 0u);
  EXPECT_FALSE(h.set.contains(h.model.nthMember(0)));

  // The moved-from set is still usable, and assignment over a populated set frees it.
  h.set = std::move(moved);
  ASSERT_TRUE(h.fullCheck());
  MemberSet other(100000);
  for (NODEID v = 0; v < 500; ++v) other.insert(v * 7);
  other = std::move(h.set);
  h.set = std::move(other);
  ASSERT_TRUE(h.fullCheck());
  ASSERT_NO_FATAL_FAILURE(churnTo(h, 2000, 3000, 1000));
}

}  // namespace
}  // namespace grouptrace
