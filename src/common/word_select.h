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

// The number of set bits of w. Written out because, without a popcount
// instruction in the target, the compiler's builtin becomes a library call.
inline int countBits(std::uint64_t w) {
  w = w - ((w >> 1) & 0x5555555555555555ull);
  w = (w & 0x3333333333333333ull) + ((w >> 2) & 0x3333333333333333ull);
  return static_cast<int>((((w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Full) * 0x0101010101010101ull) >> 56);
}

// The position of the k-th (0-based) set bit of w, which must have more than k
// set bits. Branch-free: byte-wise counts summed in parallel pick the byte,
// and a table the bit within it, so random ranks cost no mispredictions.
inline int selectBit(std::uint64_t w, unsigned k) {
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

}  // namespace grouptrace
