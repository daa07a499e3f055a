#pragma once

#include <cstdint>

#include "grouptrace/types.h"

namespace grouptrace {

// Every random decision of a run comes from this one stream, so a trace is a
// function of the parameters and the seed alone. The stream is the POSIX 48-bit
// linear congruential generator (the drand48 family) written out here rather
// than taken from the C library: its state before any seeding must be the GNU C
// library's all-zero state on every platform, and other C libraries differ.
//
// Each run owns its stream: runs in different threads, or in different copies
// of the library loaded into one process, never share a state. One stream is
// not thread-safe; it belongs to the one run that draws from it.
class Probab {
 public:
  static constexpr std::uint64_t kMultiplier = 0x5DEECE66Dull;
  static constexpr std::uint64_t kAddend = 0xB;
  static constexpr std::uint64_t kMask = (std::uint64_t{1} << 48) - 1;
  static constexpr double kScale = 1.0 / 281474976710656.0;  // 2^-48

  // srand48: the high 32 bits of the state take the seed, the low 16 bits 0x330E.
  void initRandomProb(SEED_type seed) {
    state = (std::uint64_t{static_cast<std::uint32_t>(seed)} << 16) | 0x330Eu;
  }

  // The state a fresh process starts from before any seeding (all zeros): the
  // sources of every run are drawn from it.
  void restoreInitialState() { state = 0; }

  // One step of the generator; the 48-bit state it returns is the draw times 2^48.
  std::uint64_t nextRaw() {
    state = (state * kMultiplier + kAddend) & kMask;
    return state;
  }

  // The raw value of the n-th draw from now (1 <= n <= kMaxPeek), without
  // drawing it: n steps of the generator folded into one.
  static constexpr int kMaxPeek = 32;
  std::uint64_t peekRaw(int n) const {
    const Jump& jump = kJumps.step[n - 1];
    return (state * jump.multiplier + jump.addend) & kMask;
  }

  // drand48(): uniform in [0, 1). The argument is ignored; callers pass 0.
  double randomProb(SEED_type /*seed*/) { return static_cast<double>(nextRaw()) * kScale; }

  // The bounds of a uniform integer draw. min and max must hold whole numbers
  // in the signed 32-bit range, which every bound of a scenario does because
  // the parameter stream truncates them. Draws that repeat their bounds (a
  // session's QoS bounds) keep them prepared, so the request path does no
  // more than the arithmetic.
  class DrawRange {
   public:
    DrawRange(double min, double max)
        : lo_(static_cast<std::int64_t>(min)),
          width_(static_cast<std::int64_t>(max) - lo_),
          narrow_(lo_ > -kNarrow && lo_ < kNarrow && width_ > -kNarrow && width_ < kNarrow) {}

    // trunc(v + 0.5), where v = min + (x / 2^48) * (max - min) is evaluated
    // with each of its three operations rounded to a 64-bit significand (the
    // x87 extended format the stored traces were made with) and then rounded
    // to a double once. It is computed in exact integer arithmetic, in units
    // of 2^-48, so that the result does not depend on the platform's long
    // double.
    int scale(std::uint64_t x) const {
      if (narrow_) {
        // Both terms stay below 2^62, so the sum is exact in 63 bits: the
        // extended steps round nothing, and the conversion to double is the
        // one rounding left.
        const std::int64_t units =
            lo_ * (std::int64_t{1} << 48) + static_cast<std::int64_t>(x) * width_;
        return static_cast<int>(static_cast<double>(units) * kScale + 0.5);
      }
      if (lo_ >= 0 && width_ >= 0 && lo_ + width_ < (std::int64_t{1} << 31)) {
        // Between 0 and 2^31 (a run's draw of one of many sessions, a member
        // of a large group) the value stays below 2^31, where the roundings
        // of the product, the sum and the conversion move it by at most 2^-22
        // each and adding 0.5 by as much: unless the exact value's fraction
        // lies within 2^-20 of one half, the result is the exact value
        // rounded half up, read off the product. Only the rare draws near a
        // half take the long way.
        const auto exact = static_cast<unsigned __int128>(x) * static_cast<std::uint64_t>(width_);
        const auto fraction = static_cast<std::uint64_t>(exact) & kMask;
        constexpr std::uint64_t kHalf = std::uint64_t{1} << 47;
        const std::uint64_t distance = fraction > kHalf ? fraction - kHalf : kHalf - fraction;
        if (distance > (std::uint64_t{1} << 28)) {
          return static_cast<int>(lo_ + static_cast<std::int64_t>(exact >> 48) +
                                  (fraction > kHalf ? 1 : 0));
        }
      }
      return scaleWideDraw(x, lo_, width_);
    }

   private:
    static constexpr std::int64_t kNarrow = std::int64_t{1} << 14;
    std::int64_t lo_;
    std::int64_t width_;
    bool narrow_;
  };

  // Rounded uniform integer between min and max (either may be the larger).
  int uni_inter_Prob(double min, double max, SEED_type /*seed*/) {
    return DrawRange(min, max).scale(nextRaw());
  }
  int uni_inter_Prob(const DrawRange& range) { return range.scale(nextRaw()); }

  // 1 when a draw is strictly greater than bias.
  int biasedCoin(double bias) { return randomProb(0) > bias ? 1 : 0; }
  int coinFlip() { return biasedCoin(0.5); }

 private:
  // DrawRange::scale for bounds whose products need the rounding steps, each
  // rounding done as the extended format does it.
  static int scaleWideDraw(std::uint64_t x, std::int64_t lo, std::int64_t width);

  struct Jump {
    std::uint64_t multiplier;
    std::uint64_t addend;
  };
  struct Jumps {
    Jump step[kMaxPeek];
  };
  static const Jumps kJumps;

  std::uint64_t state = 0;
};

// Step n + 1 of the generator applied to a state: x * a^(n+1) + c * (a^n + ... + 1).
inline constexpr Probab::Jumps Probab::kJumps = [] {
  Jumps jumps{};
  Jump j{kMultiplier, kAddend};
  for (int n = 0; n < kMaxPeek; ++n) {
    jumps.step[n] = j;
    j = {(j.multiplier * kMultiplier) & kMask, (j.addend * kMultiplier + kAddend) & kMask};
  }
  return jumps;
}();

}  // namespace grouptrace
