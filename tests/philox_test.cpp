#include "dynamic/philox.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

namespace grouptrace::dynamic {
namespace {

// The known-answer vectors published with the generator's reference
// implementation (Random123, kat_vectors: philox4x32, 10 rounds).
TEST(Philox, MatchesThePublishedKnownAnswers) {
  EXPECT_EQ(philox4x32({0, 0, 0, 0}, {0, 0}),
            (PhiloxBlock{0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8}));
  EXPECT_EQ(philox4x32({0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff}, {0xffffffff, 0xffffffff}),
            (PhiloxBlock{0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd}));
  EXPECT_EQ(philox4x32({0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344}, {0xa4093822, 0x299f31d0}),
            (PhiloxBlock{0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1}));
}

TEST(DrawStream, PurposesSessionsAndSeedsAreSeparateStreams) {
  auto firstDraws = [](SEED_type seed, Purpose purpose, std::int32_t session) {
    DrawStream stream(seed, purpose, session);
    std::vector<std::uint64_t> draws;
    for (int i = 0; i < 4; ++i) draws.push_back(stream.nextBits());
    return draws;
  };
  const auto base = firstDraws(1, Purpose::arrivalGap, 0);
  EXPECT_EQ(firstDraws(1, Purpose::arrivalGap, 0), base);
  std::set<std::vector<std::uint64_t>> distinct{base, firstDraws(2, Purpose::arrivalGap, 0),
                                                firstDraws(1, Purpose::thinning, 0),
                                                firstDraws(1, Purpose::arrivalGap, 1)};
  EXPECT_EQ(distinct.size(), 4u);
  // Random access and sequential reading agree, whatever was read in between.
  DrawStream stream(1, Purpose::arrivalGap, 0);
  EXPECT_EQ(stream.bitsAt(3), base[3]);
  EXPECT_EQ(stream.nextBits(), base[0]);
  EXPECT_EQ(stream.nextBits(), base[1]);
}

TEST(DrawStream, UniformsStayInsideTheOpenIntervalAndMirrorExactly) {
  EXPECT_EQ(DrawStream::uniformFromBits(0), 0x1p-53);
  EXPECT_EQ(DrawStream::uniformFromBits(~std::uint64_t{0}), 1 - 0x1p-53);
  EXPECT_EQ(DrawStream::uniformFromBits(std::uint64_t{1} << 63), 0.5 + 0x1p-53);
  DrawStream stream(5, Purpose::joinNode, 0);
  double sum = 0;
  for (int i = 0; i < 20000; ++i) {
    const double u = stream.nextUniform();
    ASSERT_GT(u, 0);
    ASSERT_LT(u, 1);
    // 1 - u is exact and lies on the same grid of odd multiples of 2^-53.
    const double mirrored = 1 - u;
    ASSERT_EQ(1 - mirrored, u);
    ASSERT_EQ(std::fmod(mirrored * 0x1p53, 2.0), 1.0);
    sum += u;
  }
  EXPECT_NEAR(sum / 20000, 0.5, 4 * 0.2887 / std::sqrt(20000.0));
}

TEST(DrawStream, BoundedIntegersCoverTheRangeAndNeverReachIt) {
  EXPECT_EQ(DrawStream::belowFromBits(~std::uint64_t{0}, 10), 9u);
  EXPECT_EQ(DrawStream::belowFromBits(0, 10), 0u);
  EXPECT_EQ(DrawStream::belowFromBits(~std::uint64_t{0}, 2147483647), 2147483646u);
  DrawStream stream(9, Purpose::joinNode, 2);
  std::vector<int> counts(7, 0);
  for (int i = 0; i < 70000; ++i) ++counts[stream.nextBelow(7)];
  for (int c : counts) EXPECT_NEAR(c, 10000, 400);  // 4 standard deviations
}

}  // namespace
}  // namespace grouptrace::dynamic
