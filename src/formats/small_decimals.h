#pragma once

namespace grouptrace {

// The digits of 0..9999, padded to four characters, with their lengths: one
// load and one store write any of them, without a branch on the length that
// random node numbers and bounds would keep mispredicting.
struct SmallDecimals {
  static constexpr unsigned kCount = 10000;
  char digits[kCount][4];
  unsigned char length[kCount];
};

constexpr SmallDecimals makeSmallDecimals() {
  SmallDecimals table{};
  for (unsigned v = 0; v < SmallDecimals::kCount; ++v) {
    const unsigned length = v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : 4;
    unsigned rest = v;
    for (unsigned i = length; i-- > 0; rest /= 10) {
      table.digits[v][i] = static_cast<char>('0' + rest % 10);
    }
    table.length[v] = static_cast<unsigned char>(length);
  }
  return table;
}

inline constexpr SmallDecimals kSmallDecimals = makeSmallDecimals();

}  // namespace grouptrace
