#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "grouptrace/byte_source.h"

namespace grouptrace {

// Reads the values of a parameter stream, one per line. A value is read the way
// a C++ stream extracts a double in the classic locale, and the rest of its line
// (a comment, a carriage return) is discarded, as stored parameter files expect.
//
// Memory stays bounded whatever the input: a value of a billion digits, or a
// comment without end, is read through a few hundred bytes. A UTF-8 byte-order
// mark at the very start of the stream is skipped.
class myIO {
 public:
  enum class Status { ok, endOfInput, notANumber, outOfRange, readError };

  // At most this many bytes of a value's text are kept for messages.
  static constexpr std::size_t kTextKept = 64;

  struct Value {
    Status status = Status::ok;
    double number = 0.0;
    // The start of the text read for the value, at most kTextKept bytes. For a
    // value that is not a number, what followed it on its line is added, within
    // the same bound, so that a message can show what stood there.
    std::string text;
    // The 1-based line of the stream the value starts on; where the input
    // ended or failed for endOfInput and readError.
    std::uint64_t line = 0;
    // The errno of the failed read, for readError.
    int error = 0;
  };

  // Reads `in` through a buffer of its own, so that it may read past the
  // values it is asked for: whoever takes the rest of the input takes it with
  // takeBuffered() first.
  explicit myIO(ByteSource& in);

  // Skips whitespace and extracts one real. Leaves the rest of the line unread,
  // so that a value already known to be bad costs no further input.
  Value read();

  // Consumes characters up to and including the next newline (or the end of
  // input). False when the input could not be read (see error()).
  bool discardLine();

  // read(), then, for a number, discardLine(); a failed discard turns the value
  // into a readError.
  Value readNL();

  // Right after a number: the text glued to it, that is what follows with no
  // blank between, unless that opens a comment ("#" or "//"). Empty when a
  // blank, the line's end, the input's end or a comment mark follows. At most
  // kTextKept bytes of the line are taken, so that "20,000" or "20k", which
  // the legacy reading takes for 20 and a comment, can be refused and shown.
  std::string gluedText();

  // Skips a byte-order mark and whitespace, as read() does before a value,
  // and returns the byte that follows without taking it (EOF at the end): a
  // value opens with a sign, a point or a digit, a JSON parameter file with
  // "{". The byte stays for read(); a caller that takes the rest of the input
  // itself must take it too.
  int peekValueStart();

  // Skips whitespace; true when the input ends there. For a value on its own,
  // where anything after the number is a mistake rather than a comment.
  bool atEnd();

  // The bytes read from the source and not yet handed out, the one peeked at
  // included; afterwards the source itself holds the rest of the input.
  std::string takeBuffered();

  // The 1-based line the next character stands on.
  std::uint64_t line() const { return line_; }
  // The errno of a failed read; 0 while every read succeeded.
  int error() const { return error_; }
  // Whether a discarded rest of line held a carriage return without a newline
  // after it: a stream whose lines end that way reads as one long line.
  bool sawBareCarriageReturn() const { return sawBareCarriageReturn_; }

 private:
  int next();
  int peek() {
    if (lookahead_ == kNone) lookahead_ = next();
    return lookahead_;
  }
  void advance() {
    if (lookahead_ == '\n') ++line_;
    lookahead_ = kNone;
  }
  void skipByteOrderMark();

  static constexpr int kNone = -2;
  static constexpr std::size_t kBufferBytes = 65536;
  ByteSource& in_;
  std::unique_ptr<char[]> buffer_;
  std::size_t bufferBegin_ = 0;
  std::size_t bufferEnd_ = 0;
  // The end of the input is final: a terminal that gave Ctrl-D is not read again.
  bool ended_ = false;
  int lookahead_ = kNone;
  // Bytes taken for a byte-order mark that turned out not to be one, handed out
  // again before anything else.
  unsigned char pending_[3] = {};
  int pendingBegin_ = 0;
  int pendingEnd_ = 0;
  bool atStart_ = true;
  std::uint64_t line_ = 1;
  int error_ = 0;
  bool sawBareCarriageReturn_ = false;
};

}  // namespace grouptrace
