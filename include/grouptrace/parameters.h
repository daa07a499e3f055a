#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>

#include "grouptrace/types.h"

namespace grouptrace {

// The stream reader stays internal; installed code only passes one through.
class myIO;

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

// The parameter names in stream order; line i of the stream holds kParameterNames[i-1].
inline constexpr std::array<std::string_view, 13> kParameterNames = {
    "nNodes",  "nSessions", "maxTrans", "currTrans", "avgSize", "nQoSLevels",      "maxBand",
    "minBand", "minDelay",  "maxDelay", "minHops",   "maxHops", "orderedJoinLeave"};

// A parameter stream that cannot describe a scenario. `line` is the 1-based
// position of the offending value in the stream (1 to 13).
class ParameterError : public std::runtime_error {
 public:
  ParameterError(int line, const std::string& message);
  int line() const { return line_; }

 private:
  int line_;
};

// Refuses a scenario that cannot run: fewer than one node or one session.
void checkParameters(const Parameters& parameters);

// Reads all 13 values; throws ParameterError for input that ends early, a value
// that is not a number or lies outside the signed 32-bit range, and fewer than
// one node or one session. Reads nothing after the 13th value's line.
Parameters readParameters(myIO& io);

}  // namespace grouptrace
