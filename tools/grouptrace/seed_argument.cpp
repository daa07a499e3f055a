#include "seed_argument.h"

#include <cstdint>
#include <limits>

namespace grouptrace {

std::optional<SEED_type> parseSeedArgument(const char* text) {
  const char* c = text;
  while (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\v' || *c == '\f' || *c == '\r') ++c;
  const bool negative = *c == '-';
  if (*c == '-' || *c == '+') ++c;
  // Accumulated as a magnitude; stop as soon as it passes 2^31, the largest any
  // 32-bit value needs, so no digit string can overflow.
  constexpr std::int64_t kLimit = std::int64_t{1} << 31;
  std::int64_t magnitude = 0;
  for (; *c >= '0' && *c <= '9'; ++c) {
    magnitude = magnitude * 10 + (*c - '0');
    if (magnitude > kLimit) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<SEED_type>::max()) return std::nullopt;
  return static_cast<SEED_type>(value);
}

}  // namespace grouptrace
