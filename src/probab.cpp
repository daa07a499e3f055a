#include "grouptrace/probab.h"

#include <bit>

namespace grouptrace {
namespace {

using Int128 = __int128;
using UInt128 = unsigned __int128;

int bitLength(UInt128 m) {
  const auto hi = static_cast<std::uint64_t>(m >> 64);
  if (hi != 0) return 128 - std::countl_zero(hi);
  return 64 - std::countl_zero(static_cast<std::uint64_t>(m));
}

// Rounds v to `bits` significant binary digits, ties to even: what a binary
// floating-point operation with a `bits`-bit significand does to an exact result.
Int128 roundToSignificand(Int128 v, int bits) {
  const bool negative = v < 0;
  UInt128 m = negative ? -static_cast<UInt128>(v) : static_cast<UInt128>(v);
  const int length = bitLength(m);
  if (length <= bits) return v;
  const int shift = length - bits;
  UInt128 q = m >> shift;
  const UInt128 rest = m & ((UInt128{1} << shift) - 1);
  const UInt128 half = UInt128{1} << (shift - 1);
  if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  m = q << shift;
  return negative ? -static_cast<Int128>(m) : static_cast<Int128>(m);
}

}  // namespace

int Probab::scaleDraw(std::uint64_t x, double min, double max) {
  // All quantities are kept as integers in units of 2^-48, the resolution of a
  // draw: the product x * (max - min) needs at most 48 + 33 bits and the sum
  // with min at most 82, well inside 128.
  const auto lo = static_cast<std::int64_t>(min);
  const auto hi = static_cast<std::int64_t>(max);
  const Int128 product = roundToSignificand(static_cast<Int128>(x) * (hi - lo), 64);
  const Int128 sum = roundToSignificand((static_cast<Int128>(lo) << 48) + product, 64);
  // Extended to double is a second rounding, not a rounding of the exact sum.
  const Int128 asDouble = roundToSignificand(sum, 53);
  // At most 53 significant bits: the conversions below are exact, and the common
  // case of a value below 2^15 in magnitude takes the cheap 64-bit one.
  constexpr Int128 kInt64Limit = Int128{1} << 62;
  const double units = (asDouble < kInt64Limit && asDouble > -kInt64Limit)
                           ? static_cast<double>(static_cast<std::int64_t>(asDouble))
                           : static_cast<double>(asDouble);
  const double value = units * kScale;
  return static_cast<int>(value + 0.5);
}

}  // namespace grouptrace
