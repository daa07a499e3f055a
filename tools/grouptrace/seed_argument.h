#pragma once

#include <optional>

#include "grouptrace/types.h"

namespace grouptrace {

// Reads the seed the way the C library's atoi does, which stored runs depend on:
// leading blanks, an optional sign and digits, anything after them ignored, and
// no digits meaning 0. A number outside the signed 32-bit range gives nothing
// instead of a silently folded seed.
std::optional<SEED_type> parseSeedArgument(const char* text);

}  // namespace grouptrace
