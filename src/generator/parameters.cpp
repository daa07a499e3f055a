#include "grouptrace/parameters.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "generator/my_io.h"

namespace grouptrace {
namespace {

// At most this many characters of a value are shown in a message: a number of
// a thousand digits still gets a message of one readable line.
constexpr std::size_t kShown = 40;

std::string excerpt(const std::string& text) {
  return text.size() <= kShown ? text : text.substr(0, kShown) + "...";
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : excerpt(text)) {
    if (c == '\r') continue;
    if (c < 0x20 || c == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::int32_t readValue(myIO& io, int line) {
  const myIO::Value value = io.readNL();
  switch (value.status) {
    case myIO::Status::endOfInput:
      throw ParameterError(line, "the input ends here, but a parameter stream holds 13 values");
    case myIO::Status::notANumber:
      throw ParameterError(line, "expected a number, found " + quoted(value.text));
    case myIO::Status::outOfRange:
      throw ParameterError(line, excerpt(value.text) + " is outside the signed 32-bit range");
    case myIO::Status::ok:
      break;
  }
  // Truncation toward zero must land in the 32-bit range: -2147483648.9 still
  // does, -2147483649 does not.
  constexpr double kBelow = static_cast<double>(std::numeric_limits<std::int32_t>::min()) - 1.0;
  constexpr double kAbove = static_cast<double>(std::numeric_limits<std::int32_t>::max()) + 1.0;
  if (!(value.number > kBelow && value.number < kAbove)) {
    throw ParameterError(line, excerpt(value.text) + " is outside the signed 32-bit range");
  }
  return static_cast<std::int32_t>(value.number);
}

}  // namespace

ParameterError::ParameterError(int line, const std::string& message)
    : std::runtime_error("parameter line " + std::to_string(line) + " (" +
                         std::string(kParameterNames.at(static_cast<std::size_t>(line - 1))) +
                         "): " + message),
      line_(line) {
}

void checkParameters(const Parameters& p) {
  if (p.nNodes < 1) {
    throw ParameterError(1, "a network needs at least 1 node, got " + std::to_string(p.nNodes));
  }
  if (p.nSessions < 1) {
    throw ParameterError(2,
                         "a scenario needs at least 1 session, got " + std::to_string(p.nSessions));
  }
}

Parameters readParameters(myIO& io) {
  Parameters p;
  std::int32_t* const fields[] = {&p.nNodes,          &p.nSessions,  &p.maxTrans, &p.currTrans,
                                  &p.avgSize,         &p.nQoSLevels, &p.maxBand,  &p.minBand,
                                  &p.minDelay,        &p.maxDelay,   &p.minHops,  &p.maxHops,
                                  &p.orderedJoinLeave};
  static_assert(std::size(fields) == kParameterNames.size());
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    *fields[i] = readValue(io, static_cast<int>(i) + 1);
  }
  checkParameters(p);
  return p;
}

}  // namespace grouptrace
