#pragma once

#include <cstdint>

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// Node identifiers, hop counts and seeds are 32-bit because the parameter
// stream truncates every value to 32 bits; stored traces depend on that width.
using NODEID = std::int32_t;
using HOPS = std::int32_t;
using SEED_type = std::int32_t;

// Transaction and request counters are wider: a starting counter near the top of
// the 32-bit range plus the joins of a run must still print its true value.
using Count = std::int64_t;

}  // namespace grouptrace

#pragma GCC visibility pop
