#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "common/message_text.h"
#include "common/number_text.h"
#include "grouptrace/memory_source.h"
#include "parameters/parameter_stream.h"
#include "parameters/parameter_table.h"

namespace grouptrace {
namespace {

// At most this many characters of a value are shown in a message: a number of
// a thousand digits still gets a message of one readable line.
constexpr std::size_t kShown = 40;
static_assert(kShown < myIO::kTextKept, "a cut excerpt must be seen to be cut");

std::string quoted(const std::string& text) {
  return quotedText(text, kShown);
}

std::string outOfRange(const std::string& text) {
  return shownText(text, kShown) + " is outside the signed 32-bit range";
}

// A stream that ends early or holds no number where one belongs may have lines
// that end with a bare carriage return: they all read as the first value's line.
std::string lineEndHint(const myIO& io) {
  return io.sawBareCarriageReturn()
             ? " (the stream's lines end with a bare carriage return; use newlines)"
             : "";
}

std::string cannotRead(int error) {
  return std::string("cannot read the parameter stream: ") + std::strerror(error);
}

// A value as myIO read it, checked and truncated toward zero; `index` is 1-based.
std::int32_t checkedValue(const myIO::Value& value, int index, std::uint64_t line,
                          const std::string& hint) {
  switch (value.status) {
    case myIO::Status::endOfInput:
      throw ParameterError(index, line,
                           "the input ends here, but a parameter stream holds 13 values" + hint);
    case myIO::Status::readError:
      throw ParameterError(index, line, cannotRead(value.error));
    case myIO::Status::notANumber:
      throw ParameterError(index, line, "expected a number, found " + quoted(value.text) + hint);
    case myIO::Status::outOfRange:
      throw ParameterError(index, line, outOfRange(value.text));
    case myIO::Status::ok:
      break;
  }
  // Truncation toward zero must land in the 32-bit range: -2147483648.9 still
  // does, -2147483649 does not.
  constexpr double kBelow = static_cast<double>(kInt32Min) - 1.0;
  constexpr double kAbove = static_cast<double>(kInt32Max) + 1.0;
  if (!(value.number > kBelow && value.number < kAbove)) {
    throw ParameterError(index, line, outOfRange(value.text));
  }
  return static_cast<std::int32_t>(value.number);
}

// Refuses text glued to the number just read: "20,000" and "20k" were read as
// 20 followed by a comment, a scenario other than the one written down.
void refuseGluedText(myIO& io, const myIO::Value& value, int index, std::uint64_t line) {
  const std::string glued = io.gluedText();
  if (glued.empty()) return;
  throw GluedNumberError(
      index, line,
      quoted(value.text) + " is followed by " + quoted(glued) +
          " without a blank: write the number alone (no thousands separators, units or "
          "letters), and put a blank or \"#\" before a comment");
}

// Reads value `index` (1-based) up to the end of its line; returns it truncated
// and its line in `line`.
std::int32_t readValue(myIO& io, int index, std::uint64_t& line, NumberEnd numberEnd) {
  const myIO::Value value = io.read();
  line = value.line;
  const std::int32_t number = checkedValue(value, index, line, lineEndHint(io));
  if (numberEnd != NumberEnd::legacy) refuseGluedText(io, value, index, line);
  // Only a sound value has a comment worth reading to its end.
  if (!io.discardLine()) throw ParameterError(index, io.line(), cannotRead(io.error()));
  return number;
}

// The counts every scenario needs; a value's line is 0 when it came from no
// stream.
void checkCounts(const Parameters& p, std::uint64_t nodesLine, std::uint64_t sessionsLine) {
  if (p.nNodes < 1) {
    throw ParameterError(1, nodesLine,
                         "a network needs at least 1 node, got " + std::to_string(p.nNodes));
  }
  if (p.nSessions < 1) {
    throw ParameterError(2, sessionsLine,
                         "a scenario needs at least 1 session, got " + std::to_string(p.nSessions));
  }
}

}  // namespace

ParameterError::ParameterError(int value, std::uint64_t inputLine, const std::string& message)
    : std::runtime_error((inputLine != 0 ? "line " + std::to_string(inputLine) + ", " : "") +
                         "value " + std::to_string(value) + " (" +
                         std::string(kParameterNames.at(static_cast<std::size_t>(value - 1))) +
                         "): " + message),
      value_(value),
      inputLine_(inputLine),
      problem_(message) {
}

std::int32_t& parameterAt(Parameters& p, std::size_t index) {
  return p.*kParameterTable[index].field;
}

std::int32_t parameterAt(const Parameters& p, std::size_t index) {
  return p.*kParameterTable[index].field;
}

void checkParameters(const Parameters& p) {
  checkCounts(p, 0, 0);
}

Parameters readParameterValues(myIO& io, std::uint64_t (&lines)[13], NumberEnd numberEnd) {
  Parameters p;
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    parameterAt(p, i) = readValue(io, static_cast<int>(i) + 1, lines[i], numberEnd);
  }
  return p;
}

Parameters readParameterValues(myIO& io, NumberEnd numberEnd) {
  std::uint64_t lines[13] = {};
  return readParameterValues(io, lines, numberEnd);
}

Parameters readParameters(myIO& io, NumberEnd numberEnd) {
  std::uint64_t lines[13] = {};
  const Parameters p = readParameterValues(io, lines, numberEnd);
  checkCounts(p, lines[0], lines[1]);
  return p;
}

Parameters parseParameters(std::string_view stream) {
  return parseParameters(stream, NumberEnd::separated);
}

Parameters parseParameters(std::string_view stream, NumberEnd numberEnd) {
  MemorySource in(stream);
  myIO io(in);
  return readParameters(io, numberEnd);
}

std::int32_t parseParameterValue(std::size_t index, std::string_view text) {
  const int position = static_cast<int>(index) + 1;
  MemorySource in(text);
  myIO io(in);
  myIO::Value value = io.read();
  if (value.status == myIO::Status::endOfInput) {
    throw ParameterError(position, 0, "expected a number, found nothing");
  }
  // What would be a comment in a stream is a mistake here.
  if (value.status != myIO::Status::notANumber && value.status != myIO::Status::readError &&
      !io.atEnd()) {
    value.status = myIO::Status::notANumber;
    value.text = std::string(text.substr(0, myIO::kTextKept));
  }
  return checkedValue(value, position, 0, "");
}

std::int32_t parameterValue(std::size_t index, double value) {
  const int position = static_cast<int>(index) + 1;
  // The shortest text that reads back as the same double, as a stream would hold it.
  char text[32];
  const std::string shown(text, std::to_chars(text, text + sizeof text, value).ptr);
  if (std::isnan(value)) throw ParameterError(position, 0, shown + " is not a number");
  myIO::Value v;
  v.number = value;
  v.text = shown;
  if (std::isinf(value)) v.status = myIO::Status::outOfRange;
  return checkedValue(v, position, 0, "");
}

}  // namespace grouptrace
