#include "generator/probab.h"

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

// A value of the x87 extended format: (negative ? -1 : 1) * significand * 2^exponent.
struct Extended {
  bool negative;
  std::uint64_t significand;
  int exponent;
};

// Rounds an exact integer to a 64-bit significand, ties to even: what an
// extended-precision operation does to its exact result.
Extended toExtended(Int128 v) {
  const bool negative = v < 0;
  const UInt128 m = negative ? -static_cast<UInt128>(v) : static_cast<UInt128>(v);
  const int length = bitLength(m);
  if (length <= 64) return {negative, static_cast<std::uint64_t>(m), 0};
  int shift = length - 64;
  auto q = static_cast<std::uint64_t>(m >> shift);
  const UInt128 rest = m & ((UInt128{1} << shift) - 1);
  const UInt128 half = UInt128{1} << (shift - 1);
  if (rest > half || (rest == half && (q & 1) != 0)) {
    if (++q == 0) {  // carried out of 64 bits
      q = std::uint64_t{1} << 63;
      ++shift;
    }
  }
  return {negative, q, shift};
}

Int128 toInteger(const Extended& e) {
  const auto magnitude = static_cast<Int128>(static_cast<UInt128>(e.significand) << e.exponent);
  return e.negative ? -magnitude : magnitude;
}

// 2^e as a double, for the normal range.
double powerOfTwo(int e) {
  return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + e) << 52);
}

}  // namespace

int Probab::scaleWideDraw(std::uint64_t x, std::int64_t lo, std::int64_t width) {
  // The product x * width needs at most 48 + 33 bits and the sum with lo at
  // most 82, well inside 128, so every step below is exact until it rounds.
  const Extended product = toExtended(static_cast<Int128>(x) * width);
  const Extended sum = toExtended(static_cast<Int128>(lo) * (Int128{1} << 48) + toInteger(product));
  // Extended to double is a second rounding, not a rounding of the exact sum:
  // converting the 64-bit significand rounds it to 53 bits, to nearest even,
  // and scaling by a power of two is exact.
  const double magnitude = static_cast<double>(sum.significand) * powerOfTwo(sum.exponent - 48);
  const double value = sum.negative ? -magnitude : magnitude;
  return static_cast<int>(value + 0.5);
}

}  // namespace grouptrace
