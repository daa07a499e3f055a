#pragma once

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string_view>

#include "formats/small_decimals.h"
#include "grouptrace/byte_sink.h"

namespace grouptrace {

// The two ways the trace writer can put its pieces of text out. Both give the
// same bytes: strings as they are, integers in plain decimal, and reals as a
// stream's default formatting (printf's %g) writes them. The writer asks for a
// line with room for the longest text it can take, then writes its pieces
// into it without further checks.

// Formats into one large buffer and hands the sink whole blocks: the trace is
// written at memory speed.
class BlockOutput {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{1} << 18;
  // The longest text a single integer or real can take ("-9223372036854775808").
  static constexpr std::size_t kNumberRoom = 20;

  explicit BlockOutput(ByteSink& sink);
  BlockOutput(const BlockOutput&) = delete;
  BlockOutput& operator=(const BlockOutput&) = delete;

  // Writes the pieces of one line or record into the buffer through a local
  // cursor, which stays in a register: stores of characters could otherwise
  // alias the buffer's own pointer and force it back to memory at every piece.
  class Line {
   public:
    Line(BlockOutput& out, char* next) : out_(out), next_(next) {}
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line() { out_.next_ = next_; }

    void text(std::string_view s) {
      assert(s.size() <= static_cast<std::size_t>(out_.end_ - next_));
      std::memcpy(next_, s.data(), s.size());
      next_ += s.size();
    }

    void integer(std::int64_t v) {
      assert(kNumberRoom <= static_cast<std::size_t>(out_.end_ - next_));
      // Most numbers of a trace (sessions, types, hops, bounds, nodes of small
      // networks) have at most four digits: those skip the general conversion.
      if (v >= 0 && v < SmallDecimals::kCount) {
        std::memcpy(next_, kSmallDecimals.digits[v], 4);
        next_ += kSmallDecimals.length[v];
      } else {
        next_ = std::to_chars(next_, next_ + kNumberRoom, v).ptr;
      }
    }

    // Every real of a trace is a whole number; %g with six significant digits
    // writes those below one million in magnitude as their plain digits.
    void real(double v) {
      if (v > -1e6 && v < 1e6 && v == static_cast<double>(static_cast<std::int32_t>(v)) &&
          !(v == 0.0 && std::signbit(v))) {
        integer(static_cast<std::int32_t>(v));
      } else {
        next_ = generalReal(next_, v);
      }
    }

   private:
    BlockOutput& out_;
    char* next_;
  };

  // A line of at most `size` bytes: they fit without a flush in between.
  Line line(std::size_t size) {
    if (size > static_cast<std::size_t>(end_ - next_)) makeRoom(size);
    return Line(*this, next_);
  }

  // Hands everything buffered to the sink.
  void flush();

 private:
  void makeRoom(std::size_t size);
  static char* generalReal(char* next, double v);
  static char* wholeInExponentForm(char* next, std::uint64_t magnitude);

  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  char* next_;
  char* end_;
};

// Stream insertion into an std::ostream, one piece at a time: the simple way,
// kept as the measured baseline and as a cross-check of BlockOutput.
class StreamOutput {
 public:
  explicit StreamOutput(std::ostream& os) : os_(os) {}

  class Line {
   public:
    explicit Line(std::ostream& os) : os_(os) {}
    void text(std::string_view s) { os_ << s; }
    void integer(std::int64_t v) { os_ << v; }
    void real(double v) { os_ << v; }

   private:
    std::ostream& os_;
  };

  Line line(std::size_t /*size*/) { return Line(os_); }
  void flush();

 private:
  std::ostream& os_;
};

}  // namespace grouptrace
