#pragma once

#include <cstdio>
#include <string>

namespace grouptrace {

// Reads the values of a parameter stream, one per line. A value is read the way
// a C++ stream extracts a double in the classic locale, and the rest of its line
// (a comment, a carriage return) is discarded, as stored parameter files expect.
class myIO {
 public:
  enum class Status { ok, endOfInput, notANumber, outOfRange };

  struct Value {
    Status status = Status::ok;
    double number = 0.0;
    // The text that was read for the value (for messages when it is not one).
    std::string text;
  };

  explicit myIO(std::FILE* in) : in_(in) {}

  // Extracts one real, then consumes characters up to and including the next
  // newline (or the end of input).
  Value readNL();

 private:
  int peek();
  void advance() { lookahead_ = kNone; }
  void discardLine();

  static constexpr int kNone = -2;
  std::FILE* in_;
  int lookahead_ = kNone;
};

}  // namespace grouptrace
