#pragma once

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string_view>

#include "grouptrace/byte_sink.h"
#include "grouptrace/small_decimals.h"

namespace grouptrace {

// The two ways the trace writer can put its pieces of text out. Both give the
// same bytes: strings as they are, integers in plain decimal, and reals as a
// stream's default formatting (printf's %g) writes them. Before each line or
// record the writer reserves room for the longest text it can take, so the
// pieces themselves need no checks.

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

  // Makes sure the next `size` bytes fit without a flush in between.
  void reserve(std::size_t size) {
    if (size > static_cast<std::size_t>(end_ - next_)) makeRoom(size);
  }

  void text(std::string_view s) {
    assert(s.size() <= static_cast<std::size_t>(end_ - next_));
    std::memcpy(next_, s.data(), s.size());
    next_ += s.size();
  }

  void integer(std::int64_t v) {
    assert(kNumberRoom <= static_cast<std::size_t>(end_ - next_));
    // Most numbers of a trace (sessions, types, hops, bounds, nodes of small
    // networks) have at most four digits: those skip the general conversion.
    if (v >= 0 && v < SmallDecimals::kCount) {
      next_ = smallDecimal(next_, static_cast<unsigned>(v));
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
      generalReal(v);
    }
  }

  // Hands everything buffered to the sink.
  void flush();

 private:
  static char* smallDecimal(char* p, unsigned v) {
    std::memcpy(p, kSmallDecimals.digits[v], 4);
    return p + kSmallDecimals.length[v];
  }

  void makeRoom(std::size_t size);
  void generalReal(double v);

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
  void reserve(std::size_t /*size*/) {}
  void text(std::string_view s) { os_ << s; }
  void integer(std::int64_t v) { os_ << v; }
  void real(double v) { os_ << v; }
  void flush();

 private:
  std::ostream& os_;
};

}  // namespace grouptrace
