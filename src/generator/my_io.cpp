#include "generator/my_io.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace grouptrace {
namespace {

bool isSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(int c) {
  return c >= '0' && c <= '9';
}

}  // namespace

int myIO::peek() {
  if (lookahead_ == kNone) lookahead_ = std::getc(in_);
  return lookahead_;
}

void myIO::discardLine() {
  for (int c = peek(); c != EOF; c = peek()) {
    advance();
    if (c == '\n') return;
  }
}

myIO::Value myIO::readNL() {
  Value result;
  while (isSpace(peek())) advance();
  if (peek() == EOF) {
    result.status = Status::endOfInput;
    return result;
  }

  // The characters a stream's double extraction accepts: a sign, digits with at
  // most one decimal point, then, once a digit has been seen, an exponent with
  // an optional sign. The extraction stops at the first other character, and the
  // collected text must then be a complete number.
  std::string& text = result.text;
  bool seenPoint = false, seenExponent = false, seenDigit = false;
  if (peek() == '+' || peek() == '-') {
    text += static_cast<char>(peek());
    advance();
  }
  for (int c = peek(); c != EOF; c = peek()) {
    if (isDigit(c)) {
      seenDigit = true;
    } else if (c == '.' && !seenPoint && !seenExponent) {
      seenPoint = true;
    } else if ((c == 'e' || c == 'E') && seenDigit && !seenExponent) {
      seenExponent = true;
      text += 'e';
      advance();
      if (peek() == '+' || peek() == '-') {
        text += static_cast<char>(peek());
        advance();
      }
      continue;
    } else {
      break;
    }
    text += static_cast<char>(c);
    advance();
  }

  char* end = nullptr;
  errno = 0;
  result.number = std::strtod(text.c_str(), &end);
  const bool complete = !text.empty() && *end == '\0';
  if (!complete) {
    result.status = Status::notANumber;
    // Keep what stood there instead of a number for the message: enough of
    // the rest of the line for a message to show its start.
    for (int c = peek(); c != EOF && c != '\n' && text.size() < 64; c = peek()) {
      text += static_cast<char>(c);
      advance();
    }
  } else if (std::isinf(result.number)) {
    result.status = Status::outOfRange;
  }
  discardLine();
  return result;
}

}  // namespace grouptrace
