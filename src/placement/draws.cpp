#include "placement/draws.h"

#include "dynamic/philox.h"

namespace grouptrace::placement {
namespace {

// Keeps placement's streams apart from the timed model's, whatever their
// purposes and versions.
constexpr std::uint32_t kPlacementKeyTag = 0x706c6331;  // "plc1"

}  // namespace

std::uint64_t withinClassBits(SEED_type seed, JoinKind kind, std::int32_t session,
                              std::uint64_t index) {
  const dynamic::PhiloxBlock block = dynamic::philox4x32(
      {static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32),
       static_cast<std::uint32_t>(session), static_cast<std::uint32_t>(kind)},
      {static_cast<std::uint32_t>(seed), kPlacementKeyTag});
  return (std::uint64_t{block[0]} << 32) | block[1];
}

}  // namespace grouptrace::placement
