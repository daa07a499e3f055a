#include "grouptrace/membership_table.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>

namespace grouptrace {
namespace {

// Long random runs against std::set, with few enough distinct keys that erases
// hit long probe runs and wrap around the table's end: the cases where a
// backward-shift removal can lose or duplicate an entry.
TEST(MembershipTable, AgreesWithAnOrderedSetOverLongRandomRuns) {
  for (const int nodes : {8, 300, 5000}) {
    SCOPED_TRACE(nodes);
    std::mt19937 random(static_cast<unsigned>(nodes));
    std::uniform_int_distribution<int> session(0, 3);
    std::uniform_int_distribution<int> node(0, nodes - 1);
    std::uniform_int_distribution<int> action(0, 9);
    MembershipTable set;
    std::set<std::pair<int, int>> reference;
    for (int i = 0; i < 200000; ++i) {
      const int s = session(random);
      const int n = node(random);
      // Slightly more inserts than erases, so the set grows through resizes.
      if (action(random) < 5) {
        ASSERT_EQ(set.insert(s, n), reference.insert({s, n}).second) << "insert " << i;
      } else {
        ASSERT_EQ(set.erase(s, n), reference.erase({s, n}) == 1) << "erase " << i;
      }
      ASSERT_EQ(set.size(), reference.size());
    }
    for (int s = 0; s < 4; ++s) {
      for (int n = 0; n < nodes; ++n) {
        ASSERT_EQ(set.contains(s, n), reference.count({s, n}) == 1) << s << " " << n;
      }
    }
  }
}

TEST(MembershipTable, ExtremeIdentifiersAreDistinctKeys) {
  MembershipTable set;
  EXPECT_TRUE(set.insert(0, 2147483647));
  EXPECT_TRUE(set.insert(2147483647, 0));
  EXPECT_TRUE(set.insert(2147483647, 2147483647));
  EXPECT_FALSE(set.contains(0, 0));
  EXPECT_FALSE(set.insert(0, 2147483647));
  EXPECT_TRUE(set.erase(2147483647, 0));
  EXPECT_FALSE(set.contains(2147483647, 0));
  EXPECT_TRUE(set.contains(2147483647, 2147483647));
  EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace grouptrace
