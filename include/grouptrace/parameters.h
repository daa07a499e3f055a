#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "generator/my_io.h"
#include "grouptrace/types.h"

namespace grouptrace {

// The 13 values of a parameter stream, each truncated toward zero to a signed
// 32-bit integer, under the names the scenario gives them.
struct Parameters {
  NODEID nNodes = 0;
  std::int32_t nSessions = 0;
  std::int32_t maxTrans = 0;
  std::int32_t currTrans = 0;
  std::int32_t avgSize = 0;
  std::int32_t nQoSLevels = 0;
  std::int32_t maxBand = 0;
  std::int32_t minBand = 0;
  std::int32_t minDelay = 0;
  std::int32_t maxDelay = 0;
  HOPS minHops = 0;
  HOPS maxHops = 0;
  std::int32_t orderedJoinLeave = 0;
};

// The parameter names in stream order; value i of the stream holds kParameterNames[i-1].
inline constexpr std::array<std::string_view, 13> kParameterNames = {
    "nNodes",  "nSessions", "maxTrans", "currTrans", "avgSize", "nQoSLevels",      "maxBand",
    "minBand", "minDelay",  "maxDelay", "minHops",   "maxHops", "orderedJoinLeave"};

// Parameters that cannot describe a scenario. The message names both
// the offending value's position in the stream (1 to 13) and the line of the
// stream it stands on, which differ once blank lines precede a value.
class ParameterError : public std::runtime_error {
 public:
  ParameterError(int value, std::uint64_t inputLine, const std::string& message);
  // The position of the offending value, 1 to 13.
  int value() const { return value_; }
  // The same position: the name dates from when every value was taken to stand
  // on its own line, and callers still use it.
  int line() const { return value_; }
  // The 1-based line of the stream the value stands on (where the input ended,
  // for a stream that ends early).
  std::uint64_t inputLine() const { return inputLine_; }

 private:
  int value_;
  std::uint64_t inputLine_;
};

// Refuses a scenario that cannot run: fewer than one node or one session.
void checkParameters(const Parameters& parameters);

// Reads all 13 values; throws ParameterError for input that ends early or cannot
// be read, a value that is not a number or lies outside the signed 32-bit range,
// and fewer than one node or one session. Reads nothing after the 13th value's
// line, and past a value found to be bad only the short excerpt its message shows.
Parameters readParameters(myIO& io);

}  // namespace grouptrace
