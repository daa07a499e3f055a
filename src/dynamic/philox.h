#pragma once

#include <array>
#include <cstdint>

#include "grouptrace/types.h"

namespace grouptrace::dynamic {

// Philox4x32-10 (Salmon, Moraes, Dror and Shaw, "Parallel random numbers: as easy
// as 1, 2, 3", SC 2011): a keyed bijection of 128-bit counters. A draw is a pure
// function of (key, counter), so the timed model names every draw by what it is
// for, which session and which occurrence, and a draw never moves because some
// other option made more or fewer draws elsewhere. Integer operations only: the
// same bits on every platform.
using PhiloxBlock = std::array<std::uint32_t, 4>;
using PhiloxKey = std::array<std::uint32_t, 2>;

PhiloxBlock philox4x32(PhiloxBlock counter, PhiloxKey key);

// What a draw is for. The values are part of the model: renumbering them changes
// every trace.
enum class Purpose : std::uint32_t {
  source = 1,      // a session's source node
  arrivalGap = 2,  // unit-rate gap before a candidate arrival
  thinning = 3,    // acceptance of a candidate under the daily rhythm
  joinNode = 4,    // which non-member joins
  holding = 5,     // a member's stay
  band = 6,        // QoS of a join
  delay = 7,
  hops = 8,
  initialCount = 9,  // gaps of the unit-rate process that counts the members at time 0
  initialNode = 10,
  initialStay = 11,  // two draws per member present at time 0
  initialBand = 12,
  initialDelay = 13,
  initialHops = 14,
  fullCount = 15,  // dynamic-2: arrivals that found their session full, counted at once
  // Requirements from the network's paths, for either model, drawn under
  // kNetworkKeyTag so that they stay the same whatever model version runs.
  delaySlack = 32,   // U of a join's delay bound
  hopSlack = 33,     // U of a join's hop bound
  sessionBand = 34,  // the one band of a session
  // Which node of its distance class a join placed by locality takes, by the
  // session's join count: the classic model's joins, the timed model's
  // arrivals and its members at time 0.
  placeJoin = 35,
  placeArrival = 36,
  placeInitial = 37,
};

// The key's second word: the model's version, so that a later version of the
// model draws from streams of its own rather than silently from these.
inline constexpr std::uint32_t kModelKeyTag = 0x64796e31;   // "dyn1"
inline constexpr std::uint32_t kModelKeyTag2 = 0x64796e32;  // "dyn2"
// The key's second word for the draws of the network options.
inline constexpr std::uint32_t kNetworkKeyTag = 0x6e657431;  // "net1"

// One stream of 64-bit draws: draw i of (purpose, session) is half of the Philox
// block whose counter is (i / 2 low word, i / 2 high word, session, purpose),
// under the key (seed, tag). Reading draws in increasing order costs one block
// per two draws.
class DrawStream {
 public:
  DrawStream(SEED_type seed, Purpose purpose, std::int32_t session,
             std::uint32_t tag = kModelKeyTag);

  // The 64-bit draw at index i.
  std::uint64_t bitsAt(std::uint64_t i);
  // The next draw in sequence, starting at index 0.
  std::uint64_t nextBits() { return bitsAt(next_++); }
  // A uniform real in (0, 1), from the top 52 bits: an odd multiple of 2^-53, so
  // neither 0 nor 1, and 1 - u is exact and lies on the same grid.
  double nextUniform() { return uniformFromBits(nextBits()); }
  // A uniform integer in [0, n) for n >= 1, by the multiply-and-shift of the full
  // 64 bits (bias below n / 2^64).
  std::uint64_t nextBelow(std::uint64_t n) { return belowFromBits(nextBits(), n); }
  // Draws taken so far by nextBits and its callers.
  std::uint64_t position() const { return next_; }

  static double uniformFromBits(std::uint64_t bits) {
    const auto odd = static_cast<double>(((bits >> 12) << 1) | 1u);
    return odd * 0x1p-53;
  }
  static std::uint64_t belowFromBits(std::uint64_t bits, std::uint64_t n) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(bits) * n) >> 64);
  }
  // min + u (max - min) rounded half up, with u the draw's uniform (an odd
  // multiple of 2^-53), in exact integer arithmetic: whole numbers between the
  // bounds (either may be the larger), the two ends half as likely.
  static std::int64_t roundedFromBits(std::uint64_t bits, std::int64_t min, std::int64_t max) {
    const auto odd = static_cast<__int128>(((bits >> 12) << 1) | 1u);
    const __int128 units = static_cast<__int128>(min) * (__int128{1} << 53) + odd * (max - min);
    return static_cast<std::int64_t>((units + (__int128{1} << 52)) >> 53);
  }

 private:
  PhiloxKey key_;
  std::uint32_t purpose_;
  std::uint32_t session_;
  std::uint64_t next_ = 0;
  std::uint64_t cachedBlock_ = ~std::uint64_t{0};
  PhiloxBlock cached_{};
};

}  // namespace grouptrace::dynamic
