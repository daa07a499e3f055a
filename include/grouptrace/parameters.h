#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "grouptrace/types.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

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

// Parameters that cannot describe a scenario. The message names the offending
// value's position in the stream (1 to 13) and its parameter, and, for a value
// read from a stream, the line of the stream it stands on, which differs from
// the position once blank lines precede a value.
class ParameterError : public std::runtime_error {
 public:
  // `inputLine` 0: the value came from no stream (an option, a program).
  ParameterError(int value, std::uint64_t inputLine, const std::string& message);
  // The position of the offending value, 1 to 13.
  int value() const { return value_; }
  // The same position: the name dates from when every value was taken to stand
  // on its own line, and callers still use it.
  int line() const { return value_; }
  // The 1-based line of the stream the value stands on (where the input ended,
  // for a stream that ends early); 0 for a value from no stream.
  std::uint64_t inputLine() const { return inputLine_; }
  // What is wrong, without the parameter it is about: for callers that name
  // the parameter their own way (a command-line option, a keyword argument).
  const std::string& problem() const { return problem_; }

 private:
  int value_;
  std::uint64_t inputLine_;
  std::string problem_;
};

// The parameters in stream order (index 0 is nNodes), for code that treats all
// 13 alike.
std::int32_t& parameterAt(Parameters& parameters, std::size_t index);
std::int32_t parameterAt(const Parameters& parameters, std::size_t index);

// Refuses a scenario that cannot run: fewer than one node or one session.
void checkParameters(const Parameters& parameters);

// What a parameter stream may hold right after a value's number.
enum class NumberEnd {
  // A blank, the line's end, the input's end or a comment mark glued to the
  // number ("10#nodes", "10//nodes"). Anything else glued to it ("20,000",
  // "20k", "2O000") is refused: read as 20 and a comment it would give a
  // silently different scenario.
  separated,
  // Anything: the rest of the line is discarded unseen, so "20,000" is 20.
  // The reading of version 1.0.0, for stored streams that relied on it.
  legacy,
};

// Reads a whole parameter stream held in memory, as the program reads one:
// 13 values, anything after a value on its line a comment (see NumberEnd for
// what may touch the number). Throws ParameterError.
Parameters parseParameters(std::string_view stream);
Parameters parseParameters(std::string_view stream, NumberEnd numberEnd);

// Reads a whole parameter file held in memory, as `grouptrace -p FILE` reads
// one: a JSON object of the 13 names, or a manifest, when its first byte past
// a UTF-8 byte-order mark and blanks is "{"; else a stream as parseParameters
// reads it. Either way the scenario is checked (checkParameters). Throws
// ParameterError for a stream or a value that cannot describe a scenario, and
// std::invalid_argument for JSON that holds no parameters (not JSON, a key
// unknown, given twice or missing), whose what() says why.
Parameters parseParameterFile(std::string_view text);

// Parameter `index` (0 to 12) given on its own, as text: read as a stream's
// value is, but with nothing after the number (blanks around it aside), since
// a value on its own has no room for a comment. Throws ParameterError.
std::int32_t parseParameterValue(std::size_t index, std::string_view text);

// Parameter `index` (0 to 12) given as a number: truncated toward zero, and
// refused outside the signed 32-bit range (NaN included), as a stream's value
// is. Throws ParameterError.
std::int32_t parameterValue(std::size_t index, double value);

}  // namespace grouptrace

#pragma GCC visibility pop
