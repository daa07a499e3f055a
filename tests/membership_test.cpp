#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "generator/flag_membership.h"
#include "member_set/member_set.h"
#include "member_set/word_select.h"

namespace grouptrace {
namespace {

TEST(WordSelect, FindsTheKthSetBitOfAnyWord) {
  std::mt19937_64 random(17);
  std::vector<std::uint64_t> words = {1, ~std::uint64_t{0}, std::uint64_t{1} << 63,
                                      0x8000000000000001ull, 0x00FF00FF00FF00FFull};
  for (int i = 0; i < 20000; ++i) words.push_back(random() & random());
  for (std::uint64_t w : words) {
    ASSERT_EQ(countBits(w), __builtin_popcountll(w));
    ASSERT_EQ(countBitsPortable(w), __builtin_popcountll(w));
    unsigned k = 0;
    for (int bit = 0; bit < 64; ++bit) {
      if ((w >> bit) & 1u) {
        ASSERT_EQ(selectBitPortable(w, k), bit) << std::hex << w;
        ASSERT_EQ(selectBit(w, k++), bit) << std::hex << w;
      }
    }
  }
#if defined(__x86_64__)
  // The instructions are checked wherever the processor has them, whichever path the set takes.
  if (!__builtin_cpu_supports("bmi2") || !__builtin_cpu_supports("popcnt")) return;
  for (std::uint64_t w : words) {
    ASSERT_EQ(countBitsPopcnt(w), __builtin_popcountll(w));
    for (unsigned k = 0; k < static_cast<unsigned>(__builtin_popcountll(w)); ++k) {
      ASSERT_EQ(selectBitPdep(w, k), selectBitPortable(w, k)) << std::hex << w;
    }
  }
#endif
}

// CI runs the stored traces and these tests once more with GROUPTRACE_PORTABLE_BITS=1 (see
// tests/CMakeLists.txt); that run must then really take the portable path.
TEST(WordSelect, TheEnvironmentCanAskForThePortablePath) {
  const char* value = std::getenv("GROUPTRACE_PORTABLE_BITS");
  if (value == nullptr || std::string(value) == "0" || std::string(value).empty()) {
    GTEST_SKIP() << "GROUPTRACE_PORTABLE_BITS is not set";
  }
  EXPECT_FALSE(gFastBitOps);
}

// The fast set (one word up to 64 nodes; bits or a tree above, changing as groups grow and
// shrink) and the flag scan of the straightforward build must name the same node for every
// selection, or the two builds would write different traces.
TEST(Membership, FastSetAndFlagScanChooseTheSameNodes) {
  std::mt19937_64 random(23);
  for (NODEID nNodes : {1, 2, 7, 63, 64, 65, 300, 1000, 5000, 10000}) {
    MemberSet fast(nNodes);
    FlagMembership plain(nNodes);
    const NODEID source = static_cast<NODEID>(random() % static_cast<std::uint64_t>(nNodes));
    fast.insert(source);
    plain.insert(source);
    for (int step = 0; step < 4000; ++step) {
      const Count free = nNodes - fast.size();
      const Count others = fast.size() - 1;
      // Lean towards growing for the first half and shrinking for the second,
      // so groups pass through sparse, dense and full.
      const bool grow = free > 0 && (others == 0 || random() % 100 < (step < 2000 ? 70u : 30u));
      if (grow) {
        const Count k = static_cast<Count>(random() % static_cast<std::uint64_t>(free));
        const NODEID node = fast.nthNonMember(k);
        ASSERT_EQ(node, plain.nthNonMember(k)) << nNodes << " step " << step;
        ASSERT_FALSE(plain.contains(node));
        fast.insert(node);
        plain.insert(node);
      } else if (others > 0) {
        const Count k = static_cast<Count>(random() % static_cast<std::uint64_t>(others));
        const NODEID node = fast.nthMemberExcept(k, source);
        ASSERT_EQ(node, plain.nthMemberExcept(k, source)) << nNodes << " step " << step;
        ASSERT_NE(node, source);
        fast.erase(node);
        plain.erase(node);
      }
      ASSERT_EQ(fast.size(), plain.size());
    }
    for (NODEID node = 0; node < nNodes; ++node) {
      ASSERT_EQ(fast.contains(node), plain.contains(node)) << nNodes << " node " << node;
    }
  }
}

// Large networks whose groups are dense enough for bits: half full, then thinned out through
// the switch back to the tree (under one member per word) and grown back through the switch to
// bits (two per word). Every selection on the way is checked against the flag scan.
TEST(Membership, FastSetAndFlagScanAgreeOnDenseGroupsOfLargeNetworks) {
  std::mt19937_64 random(29);
  for (NODEID nNodes : {65537, 140000, 1000000}) {
    MemberSet fast(nNodes);
    FlagMembership plain(nNodes);
    auto randomNode = [&] {
      return static_cast<NODEID>(random() % static_cast<std::uint64_t>(nNodes));
    };
    // Half full without checks: the scan per selection would take too long here.
    while (fast.size() < nNodes / 2) {
      const NODEID node = randomNode();
      if (plain.contains(node)) continue;
      fast.insert(node);
      plain.insert(node);
    }
    const Count words = (nNodes + 63) / 64;
    auto checkedStep = [&](bool grow) {
      const Count free = nNodes - fast.size();
      if (grow) {
        const Count k = static_cast<Count>(random() % static_cast<std::uint64_t>(free));
        const NODEID node = fast.nthNonMember(k);
        ASSERT_EQ(node, plain.nthNonMember(k)) << nNodes << " size " << fast.size();
        fast.insert(node);
        plain.insert(node);
      } else {
        const Count k = static_cast<Count>(random() % static_cast<std::uint64_t>(fast.size()));
        const NODEID node = fast.nthMember(k);
        ASSERT_EQ(node, plain.nthMemberExcept(k, -1)) << nNodes << " size " << fast.size();
        fast.erase(node);
        plain.erase(node);
      }
    };
    for (int step = 0; step < 40; ++step) ASSERT_NO_FATAL_FAILURE(checkedStep(step % 3 != 0));
    // Thin out to a few members over one per word, unchecked, then checked across the switch.
    while (fast.size() > words + 20) {
      const NODEID node = randomNode();
      if (!plain.contains(node)) continue;
      fast.erase(node);
      plain.erase(node);
    }
    for (int step = 0; step < 40; ++step) ASSERT_NO_FATAL_FAILURE(checkedStep(false));
    for (int step = 0; step < 40; ++step) ASSERT_NO_FATAL_FAILURE(checkedStep(true));
    for (NODEID node = 0; node < nNodes; node += 7) {
      ASSERT_EQ(fast.contains(node), plain.contains(node)) << nNodes << " node " << node;
    }
  }
}

}  // namespace
}  // namespace grouptrace
