#include "dynamic/philox.h"

namespace grouptrace::dynamic {
namespace {

constexpr std::uint32_t kMultiplier0 = 0xD2511F53;
constexpr std::uint32_t kMultiplier1 = 0xCD9E8D57;
constexpr std::uint32_t kWeyl0 = 0x9E3779B9;
constexpr std::uint32_t kWeyl1 = 0xBB67AE85;

struct HiLo {
  std::uint32_t hi;
  std::uint32_t lo;
};

HiLo mulHiLo(std::uint32_t a, std::uint32_t b) {
  const std::uint64_t p = std::uint64_t{a} * b;
  return {static_cast<std::uint32_t>(p >> 32), static_cast<std::uint32_t>(p)};
}

PhiloxBlock round(const PhiloxBlock& x, const PhiloxKey& k) {
  const HiLo p0 = mulHiLo(kMultiplier0, x[0]);
  const HiLo p1 = mulHiLo(kMultiplier1, x[2]);
  return {p1.hi ^ x[1] ^ k[0], p1.lo, p0.hi ^ x[3] ^ k[1], p0.lo};
}

}  // namespace

PhiloxBlock philox4x32(PhiloxBlock counter, PhiloxKey key) {
  for (int r = 0; r < 10; ++r) {
    if (r > 0) {
      key[0] += kWeyl0;
      key[1] += kWeyl1;
    }
    counter = round(counter, key);
  }
  return counter;
}

DrawStream::DrawStream(SEED_type seed, Purpose purpose, std::int32_t session, std::uint32_t tag)
    : key_{static_cast<std::uint32_t>(seed), tag},
      purpose_(static_cast<std::uint32_t>(purpose)),
      session_(static_cast<std::uint32_t>(session)) {
}

std::uint64_t DrawStream::bitsAt(std::uint64_t i) {
  const std::uint64_t block = i >> 1;
  if (block != cachedBlock_) {
    cached_ = philox4x32({static_cast<std::uint32_t>(block),
                          static_cast<std::uint32_t>(block >> 32), session_, purpose_},
                         key_);
    cachedBlock_ = block;
  }
  const unsigned w = (i & 1) != 0 ? 2 : 0;
  return (std::uint64_t{cached_[w]} << 32) | cached_[w + 1];
}

}  // namespace grouptrace::dynamic
