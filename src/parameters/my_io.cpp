#include "parameters/my_io.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "common/number_text.h"

namespace grouptrace {
namespace {

bool isSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(int c) {
  return c >= '0' && c <= '9';
}

// A decimal number as the stream extraction collects it, held in bounded memory
// however long its text: the significant digits up to a bound, whether a nonzero
// digit was dropped after them, and where the decimal point falls.
//
// Converting "0.<kept digits>[1]e<scale>" gives what converting the whole text
// would. Every boundary a correctly rounded conversion decides against (the
// midpoint between two neighbouring doubles, the overflow threshold) has fewer
// than 770 significant digits. A number cut after 800 digits therefore lies on
// the same side of each boundary as the whole text, and one nonzero digit after
// the cut keeps it off a boundary it would otherwise seem to hit exactly.
class BoundedDecimal {
 public:
  BoundedDecimal() { digits_.reserve(kKept); }

  void negate() { negative_ = true; }

  void mantissaDigit(int c, bool afterPoint) {
    if (digits_.empty() && c == '0') {
      // A leading zero only moves the point, and only after it.
      if (afterPoint) bump(leadingFractionZeros_);
      return;
    }
    if (!afterPoint) bump(integerDigits_);
    if (digits_.size() < kKept) {
      digits_ += static_cast<char>(c);
    } else if (c != '0') {
      sticky_ = true;
    }
  }

  void negateExponent() { exponentNegative_ = true; }
  void exponentDigit(int c) { exponent_ = std::min(exponent_ * 10 + (c - '0'), kCountCap); }

  double value() const {
    std::string text = negative_ ? "-" : "";
    if (digits_.empty()) return readReal(text + "0").value;
    text += "0.";
    text += digits_;
    if (sticky_) text += '1';
    // Past these bounds the value is zero or infinite either way; the bound
    // keeps the converter's work small.
    constexpr std::int64_t kScaleBound = 100000;
    const std::int64_t scale = std::clamp(
        integerDigits_ - leadingFractionZeros_ + (exponentNegative_ ? -1 : 1) * exponent_,
        -kScaleBound, kScaleBound);
    text += 'e';
    text += std::to_string(scale);
    // Past the range of a double: the infinity or the zero of its sign.
    return readReal(text).value;
  }

 private:
  static constexpr std::size_t kKept = 800;
  // Counts and the exponent stop growing here, far beyond where the value is
  // zero or infinite, and far beyond any input that could be read: 10^17 bytes.
  static constexpr std::int64_t kCountCap = 100'000'000'000'000'000;
  static void bump(std::int64_t& count) {
    if (count < kCountCap) ++count;
  }

  bool negative_ = false;
  std::string digits_;
  bool sticky_ = false;
  std::int64_t integerDigits_ = 0;
  std::int64_t leadingFractionZeros_ = 0;
  bool exponentNegative_ = false;
  std::int64_t exponent_ = 0;
};

}  // namespace

myIO::myIO(ByteSource& in) : in_(in), buffer_(new char[kBufferBytes]) {
}

int myIO::next() {
  if (pendingBegin_ < pendingEnd_) return pending_[pendingBegin_++];
  if (bufferBegin_ == bufferEnd_) {
    // A failed read is final: a descriptor that cannot be read now will not be
    // read later either, and retrying a directory or a closed descriptor for
    // every value would only repeat the error.
    if (ended_ || error_ != 0) return EOF;
    try {
      bufferEnd_ = in_.read(buffer_.get(), kBufferBytes);
    } catch (const std::system_error& e) {
      error_ = e.code().value() != 0 ? e.code().value() : EIO;
      return EOF;
    }
    bufferBegin_ = 0;
    if (bufferEnd_ == 0) {
      ended_ = true;
      return EOF;
    }
  }
  return static_cast<unsigned char>(buffer_[bufferBegin_++]);
}

std::string myIO::takeBuffered() {
  std::string text;
  if (lookahead_ >= 0) text += static_cast<char>(lookahead_);
  lookahead_ = kNone;
  text.append(pending_ + pendingBegin_, pending_ + pendingEnd_);
  pendingBegin_ = pendingEnd_;
  text.append(buffer_.get() + bufferBegin_, buffer_.get() + bufferEnd_);
  bufferBegin_ = bufferEnd_;
  return text;
}

void myIO::skipByteOrderMark() {
  atStart_ = false;
  static constexpr unsigned char kMark[] = {0xef, 0xbb, 0xbf};
  int taken = 0;
  for (const unsigned char expected : kMark) {
    const int c = next();
    if (c == EOF) break;
    pending_[taken++] = static_cast<unsigned char>(c);
    if (c != expected) break;
  }
  if (taken == static_cast<int>(std::size(kMark)) &&
      std::equal(pending_, pending_ + taken, kMark)) {
    taken = 0;
  }
  pendingBegin_ = 0;
  pendingEnd_ = taken;
}

int myIO::peekValueStart() {
  if (atStart_) skipByteOrderMark();
  while (isSpace(peek())) advance();
  return peek();
}

bool myIO::atEnd() {
  while (isSpace(peek())) advance();
  return peek() == EOF;
}

bool myIO::discardLine() {
  bool afterCarriageReturn = false;
  for (int c = peek(); c != EOF; c = peek()) {
    advance();
    if (c == '\n') return true;
    if (afterCarriageReturn) sawBareCarriageReturn_ = true;
    afterCarriageReturn = c == '\r';
  }
  if (afterCarriageReturn) sawBareCarriageReturn_ = true;
  return error_ == 0;
}

myIO::Value myIO::read() {
  if (atStart_) skipByteOrderMark();
  Value result;
  while (isSpace(peek())) advance();
  result.line = line_;
  if (peek() == EOF) {
    result.status = error_ != 0 ? Status::readError : Status::endOfInput;
    result.error = error_;
    return result;
  }

  // The characters a stream's double extraction accepts: a sign, digits with at
  // most one decimal point, then, once a digit has been seen, an exponent with
  // an optional sign. The extraction stops at the first other character, and the
  // collected text must then be a complete number.
  std::string& text = result.text;
  const auto keep = [&text](int c) {
    if (text.size() < kTextKept) text += static_cast<char>(c);
  };
  BoundedDecimal number;
  bool seenPoint = false, seenExponent = false, seenDigit = false, seenExponentDigit = false;
  if (peek() == '+' || peek() == '-') {
    if (peek() == '-') number.negate();
    keep(peek());
    advance();
  }
  for (int c = peek(); c != EOF; c = peek()) {
    if (isDigit(c)) {
      if (seenExponent) {
        number.exponentDigit(c);
        seenExponentDigit = true;
      } else {
        number.mantissaDigit(c, seenPoint);
      }
      seenDigit = true;
    } else if (c == '.' && !seenPoint && !seenExponent) {
      seenPoint = true;
    } else if ((c == 'e' || c == 'E') && seenDigit && !seenExponent) {
      seenExponent = true;
      keep('e');
      advance();
      if (peek() == '+' || peek() == '-') {
        if (peek() == '-') number.negateExponent();
        keep(peek());
        advance();
      }
      continue;
    } else {
      break;
    }
    keep(c);
    advance();
  }

  if (error_ != 0) {
    result.status = Status::readError;
    result.error = error_;
    result.line = line_;
  } else if (!seenDigit || (seenExponent && !seenExponentDigit)) {
    result.status = Status::notANumber;
    // Show what stood there instead of a number, up to the end of its line, a
    // NUL byte (binary data, not text) or the bound of the excerpt: an endless
    // line is not read to its end.
    for (int c = peek(); c != EOF && c != '\n' && c != '\r' && text.size() < kTextKept;
         c = peek()) {
      text += static_cast<char>(c);
      advance();
      if (c == '\0') break;
    }
  } else {
    result.number = number.value();
    if (std::isinf(result.number)) result.status = Status::outOfRange;
  }
  return result;
}

std::string myIO::gluedText() {
  const int first = peek();
  if (first == EOF || isSpace(first) || first == '#') return "";
  std::string text(1, static_cast<char>(first));
  advance();
  // "//" is a comment only whole: "10/2" is a typo, not 10 and a comment.
  if (first == '/' && peek() == '/') return "";
  // Up to the next blank: the comment that may follow is no part of the typo.
  for (int c = peek(); c != EOF && !isSpace(c) && text.size() < kTextKept; c = peek()) {
    text += static_cast<char>(c);
    advance();
    if (c == '\0') break;
  }
  return text;
}

myIO::Value myIO::readNL() {
  Value result = read();
  if (result.status == Status::ok && !discardLine()) {
    result.status = Status::readError;
    result.error = error_;
    result.line = line_;
  }
  return result;
}

}  // namespace grouptrace
