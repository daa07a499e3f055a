#pragma once

#include <cstdint>

namespace grouptrace {

// Positions of the set bits of every byte value: entry 8 * b + r is the
// position of the r-th (0-based) set bit of b, 8 when b has fewer bits.
struct ByteSelect {
  unsigned char position[256 * 8];
};

constexpr ByteSelect makeByteSelect() {
  ByteSelect table{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned r = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if ((b >> bit) & 1u) table.position[8 * b + r++] = static_cast<unsigned char>(bit);
    }
    for (; r < 8; ++r) table.position[8 * b + r] = 8;
  }
  return table;
}

inline constexpr ByteSelect kByteSelect = makeByteSelect();

// Whether countBits and selectBit use the processor's popcnt and pdep: true on
// x86-64 processors that have both and do pdep in one step (not AMD before
// family 19h, which microcodes it), unless GROUPTRACE_PORTABLE_BITS is set in
// the environment to a value other than 0, which tests use to run the portable
// path on any machine. Set once before main; read as false before that, so any
// earlier use takes the portable path. Both paths give the same answers.
extern const bool gFastBitOps;

// The number of set bits of w, without the popcnt instruction. Written out
// because, without popcnt in the target, the compiler's builtin becomes a
// library call.
[[gnu::always_inline]] inline int countBitsPortable(std::uint64_t w) {
  w = w - ((w >> 1) & 0x5555555555555555ull);
  w = (w & 0x3333333333333333ull) + ((w >> 2) & 0x3333333333333333ull);
  return static_cast<int>((((w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Full) * 0x0101010101010101ull) >> 56);
}

// The position of the k-th (0-based) set bit of w, which must have more than k
// set bits. Branch-free: byte-wise counts summed in parallel pick the byte,
// and a table the bit within it, so random ranks cost no mispredictions.
[[gnu::always_inline]] inline int selectBitPortable(std::uint64_t w, unsigned k) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  std::uint64_t counts = w - ((w >> 1) & 0x5555555555555555ull);
  counts = (counts & 0x3333333333333333ull) + ((counts >> 2) & 0x3333333333333333ull);
  // Byte i: the set bits of bytes 0..i.
  const std::uint64_t through = ((counts + (counts >> 4)) & 0x0F0F0F0F0F0F0F0Full) * kOnes;
  // High bit of byte i set where bytes 0..i hold at most k set bits: those
  // bytes all lie before the one holding the k-th bit.
  const std::uint64_t before = ((k * kOnes | kHighBits) - through) & kHighBits;
  const unsigned place = static_cast<unsigned>((((before >> 7) * kOnes) >> 56) * 8);
  const auto seen = static_cast<unsigned>(((through << 8) >> place) & 0xFF);
  return static_cast<int>(place + kByteSelect.position[8 * ((w >> place) & 0xFF) + (k - seen)]);
}

#if defined(__x86_64__)
// The instructions themselves, written as assembly so that the rest of the
// program needs no target options; only called where gFastBitOps holds.
inline int countBitsPopcnt(std::uint64_t w) {
  std::uint64_t n;
  asm("popcnt %1, %0" : "=r"(n) : "rm"(w) : "cc");
  return static_cast<int>(n);
}
// pdep deposits the single bit 1 << k at the k-th set bit of w.
inline int selectBitPdep(std::uint64_t w, unsigned k) {
  std::uint64_t deposited;
  asm("pdep %2, %1, %0" : "=r"(deposited) : "r"(std::uint64_t{1} << k), "rm"(w));
  return __builtin_ctzll(deposited);
}
#endif

inline int countBits(std::uint64_t w) {
#if defined(__x86_64__)
  if (gFastBitOps) return countBitsPopcnt(w);
#endif
  return countBitsPortable(w);
}

inline int selectBit(std::uint64_t w, unsigned k) {
#if defined(__x86_64__)
  if (gFastBitOps) return selectBitPdep(w, k);
#endif
  return selectBitPortable(w, k);
}

}  // namespace grouptrace
