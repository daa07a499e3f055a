#include "generator/probab.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

namespace grouptrace {
namespace {

constexpr double kTwo48 = 281474976710656.0;

// What uni_inter_Prob returns when the generator yields the 48-bit value x.
int scaleDraw(std::uint64_t x, double min, double max) {
  return Probab::DrawRange(min, max).scale(x);
}

// The 48-bit draw closest to a real r in [0, 1).
std::uint64_t drawFor(double r) {
  return static_cast<std::uint64_t>(std::llround(r * kTwo48));
}

TEST(ProbabStream, UnseededStartsFromTheAllZeroState) {
  Probab p;
  p.restoreInitialState();
  EXPECT_EQ(p.randomProb(0), 11.0 / kTwo48);
  EXPECT_NEAR(p.randomProb(0), 0.000985, 5e-7);
  EXPECT_NEAR(p.randomProb(0), 0.0416, 5e-5);

  // These are the sources of sessions 0 to 4 in a network of 10 nodes.
  p.restoreInitialState();
  const int expected[] = {0, 0, 0, 2, 3};
  for (int e : expected) EXPECT_EQ(p.uni_inter_Prob(0, 9, 0), e);
}

#ifdef __GLIBC__
// The stored traces were made with the GNU C library's generator; every seed,
// the extremes of the 32-bit range included, must give its stream exactly.
TEST(ProbabStream, SeededStreamsMatchTheCLibraryGenerator) {
  Probab p;
  for (SEED_type seed : {0, 12, -1, 42, INT_MIN, INT_MAX}) {
    p.initRandomProb(seed);
    srand48(seed);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(p.randomProb(0), drand48()) << "seed " << seed << " draw " << i;
    }
  }
}
#endif

TEST(ProbabStream, SeedsZeroAndTwelveAreRepeatableAndDistinct) {
  auto firstDraws = [](SEED_type seed) {
    Probab p;
    p.initRandomProb(seed);
    std::vector<double> draws;
    for (int i = 0; i < 8; ++i) draws.push_back(p.randomProb(0));
    return draws;
  };
  EXPECT_EQ(firstDraws(0), firstDraws(0));
  EXPECT_EQ(firstDraws(12), firstDraws(12));
  EXPECT_NE(firstDraws(0), firstDraws(12));
}

TEST(ProbabStream, EveryDrawConsumesExactlyOneValue) {
  Probab p;
  p.initRandomProb(7);
  std::vector<double> plain;
  for (int i = 0; i < 6; ++i) plain.push_back(p.randomProb(0));

  p.initRandomProb(7);
  p.uni_inter_Prob(5, 5, 0);  // equal bounds still draw
  p.coinFlip();
  p.biasedCoin(0.9);
  p.uni_inter_Prob(10, 5, 0);
  p.randomProb(0);
  EXPECT_EQ(p.randomProb(0), plain[5]);
}

TEST(UniformDraw, RoundsHalfUpBetweenNonNegativeBounds) {
  EXPECT_EQ(scaleDraw(drawFor(0.16), 0, 3), 0);  // 0.48
  EXPECT_EQ(scaleDraw(drawFor(0.17), 0, 3), 1);  // 0.51
  EXPECT_EQ(scaleDraw(drawFor(0.99), 0, 3), 3);
  EXPECT_EQ(scaleDraw(0, 0, 3), 0);
  // Source draws in a network of 3 nodes: node 1 for [0.25, 0.75).
  EXPECT_EQ(scaleDraw(drawFor(0.25) - 1, 0, 2), 0);
  EXPECT_EQ(scaleDraw(drawFor(0.25), 0, 2), 1);
  EXPECT_EQ(scaleDraw(drawFor(0.75) - 1, 0, 2), 1);
  EXPECT_EQ(scaleDraw(drawFor(0.75), 0, 2), 2);
}

TEST(UniformDraw, EqualAndReversedBounds) {
  Probab p;
  for (double r : {0.0, 0.3, 0.999999}) EXPECT_EQ(scaleDraw(drawFor(r), 5, 5), 5);
  EXPECT_EQ(scaleDraw(0, 10, 5), 10);
  p.initRandomProb(3);
  std::set<int> seen;
  for (int i = 0; i < 2000; ++i) seen.insert(p.uni_inter_Prob(10, 5, 0));
  EXPECT_EQ(seen, (std::set<int>{5, 6, 7, 8, 9, 10}));
}

TEST(UniformDraw, NegativeValuesTruncateTowardZero) {
  EXPECT_EQ(scaleDraw(drawFor(0.4), -2, 0), 0);    // -1.2 + 0.5 = -0.7
  EXPECT_EQ(scaleDraw(drawFor(0.1), -3, 0), -2);   // -2.7 + 0.5 = -2.2
  EXPECT_EQ(scaleDraw(0, -3, 0), -2);              // -3 is never returned
  EXPECT_EQ(scaleDraw(drawFor(0.76), -3, -1), 0);  // above both bounds
  EXPECT_EQ(scaleDraw(drawFor(0.74), -3, -1), -1);
}

TEST(UniformDraw, ExtremesOfTheThirtyTwoBitRange) {
  const std::uint64_t last = Probab::kMask;
  EXPECT_EQ(scaleDraw(0, INT_MIN, INT_MAX), INT_MIN + 1);
  EXPECT_EQ(scaleDraw(last, INT_MIN, INT_MAX), INT_MAX);
  EXPECT_EQ(scaleDraw(0, INT_MAX, INT_MIN), INT_MAX);
  EXPECT_EQ(scaleDraw(last, INT_MAX, INT_MIN), INT_MIN + 1);
  EXPECT_EQ(scaleDraw(0, INT_MAX, INT_MAX), INT_MAX);
}

// Draws whose wide bounds put the exact value within a rounding of a half: the
// 64-bit-significand evaluation gives the first result, while plain double
// arithmetic or a fused multiply-add land on the neighbouring integer.
TEST(UniformDraw, PinnedDrawsThatPlainDoubleOrFusedArithmeticGetWrong) {
  // double says 750948275, a fused multiply-add agrees with the result.
  EXPECT_EQ(scaleDraw(103627776762828, 316892036, 1495880657), 750948274);
  // a fused multiply-add says 430923576, double agrees with the result.
  EXPECT_EQ(scaleDraw(256144320865044, -1980884652, 669432414), 430923577);
  // both say 1147764931.
  EXPECT_EQ(scaleDraw(174283695353984, -84011361, 1905355473), 1147764932);
  EXPECT_EQ(scaleDraw(269440938313648, -83548744, -1953350232), -1873409687);
}

#if LDBL_MANT_DIG == 64
// Where long double is the x87 extended format, it is the arithmetic the exact
// integer evaluation stands in for: compare them on random draws and on draws
// aimed at the rounding boundaries, where the two could part.
int extendedDraw(std::uint64_t x, double min, double max) {
  const double r = static_cast<double>(x) / kTwo48;
  volatile long double difference = static_cast<long double>(max) - min;
  volatile long double product = r * difference;
  volatile long double sum = min + product;
  const double value = static_cast<double>(sum);
  return static_cast<int>(value + 0.5);
}

TEST(UniformDraw, MatchesExtendedPrecisionArithmetic) {
  std::mt19937_64 random(2024);
  for (int i = 0; i < 300000; ++i) {
    const std::uint64_t x = random() & Probab::kMask;
    const double min = static_cast<std::int32_t>(random());
    const double max = static_cast<std::int32_t>(random());
    ASSERT_EQ(scaleDraw(x, min, max), extendedDraw(x, min, max)) << x << " " << min << " " << max;
  }
  for (int i = 0; i < 300000; ++i) {
    const double min = static_cast<std::int32_t>(random());
    const double max = static_cast<std::int32_t>(random());
    const long double width = static_cast<long double>(max) - min;
    if (width == 0) continue;
    // The draw whose exact value is closest to a half between the bounds.
    const long double point = min + static_cast<long double>((random() >> 11) * 0x1p-53) * width;
    const long double half = std::floor(point) + 0.5L;
    const auto center = std::llround((half - min) / width * 0x1p48L);
    for (long long x = center - 2; x <= center + 2; ++x) {
      if (x < 0 || x > static_cast<long long>(Probab::kMask)) continue;
      const auto draw = static_cast<std::uint64_t>(x);
      ASSERT_EQ(scaleDraw(draw, min, max), extendedDraw(draw, min, max))
          << x << " " << min << " " << max;
    }
  }
}

// Draws between non-negative bounds below 2^31 (the session of a run with many sessions, from 0;
// a member of a large group, from 1) take a short way where the value is not near a half: random
// draws, and draws around every distance from a half up to well past where the short way starts.
TEST(UniformDraw, DrawsBetweenNonNegativeBoundsMatchExtendedPrecisionArithmetic) {
  std::mt19937_64 random(2025);
  const auto lowBound = [&random](int i) -> double {
    return i % 3 == 0 ? 0 : i % 3 == 1 ? 1 : static_cast<double>(random() % (1u << 30));
  };
  for (int i = 0; i < 200000; ++i) {
    const double min = lowBound(i);
    const auto room = (std::uint64_t{1} << 31) - static_cast<std::uint64_t>(min);
    const double max = min + static_cast<double>(random() % room);
    const std::uint64_t x = random() & Probab::kMask;
    ASSERT_EQ(scaleDraw(x, min, max), extendedDraw(x, min, max)) << x << " " << min << " " << max;
  }
  for (int i = 0; i < 30000; ++i) {
    const double min = lowBound(i);
    const auto room = (std::uint64_t{1} << 31) - static_cast<std::uint64_t>(min) - 16384;
    const double width = static_cast<double>(16384 + random() % room);
    // x * width / 2^48 = n + 1/2 + e, for draws x near the one that hits n + 1/2 exactly.
    const long double n =
        std::floor(static_cast<long double>(random() % 1000000) / 1000000 * width);
    const auto center = static_cast<long long>((n + 0.5L) / width * 0x1p48L);
    const long long spread = i % 2 == 0 ? 4 : 1LL << (i % 40);
    for (long long x = center - spread; x <= center + spread; x += spread > 4 ? spread : 1) {
      if (x < 0 || x > static_cast<long long>(Probab::kMask)) continue;
      const auto draw = static_cast<std::uint64_t>(x);
      ASSERT_EQ(scaleDraw(draw, min, min + width), extendedDraw(draw, min, min + width))
          << x << " " << min << " " << width;
    }
  }
}
#endif

// The run guesses the next request's session from draws it has not made yet:
// a peek must see exactly the draw the stream will give, and move nothing.
TEST(ProbabStream, PeeksSeeTheDrawsToCome) {
  for (const SEED_type seed : {0, 1, -7, 2147483647}) {
    Probab draws;
    draws.initRandomProb(seed);
    for (int round = 0; round < 50; ++round) {
      std::uint64_t peeked[Probab::kMaxPeek];
      for (int n = 1; n <= Probab::kMaxPeek; ++n) peeked[n - 1] = draws.peekRaw(n);
      for (int n = 1; n <= Probab::kMaxPeek; ++n) {
        ASSERT_EQ(draws.nextRaw(), peeked[n - 1]) << "seed " << seed << " draw " << n;
      }
    }
  }
}

}  // namespace
}  // namespace grouptrace
