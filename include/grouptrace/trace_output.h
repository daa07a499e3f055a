#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string_view>

#include "grouptrace/byte_sink.h"

namespace grouptrace {

// The two ways the trace writer can put its pieces of text out. Both give the
// same bytes: strings as they are, integers in plain decimal, and reals as a
// stream's default formatting (printf's %g) writes them.

// Formats into one large buffer with the standard character conversions and
// hands the sink whole blocks: the trace is written at memory speed.
class BlockOutput {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{1} << 18;

  explicit BlockOutput(ByteSink& sink);
  BlockOutput(const BlockOutput&) = delete;
  BlockOutput& operator=(const BlockOutput&) = delete;

  void text(std::string_view s) {
    if (s.size() > static_cast<std::size_t>(end_ - next_)) makeRoom(s.size());
    std::memcpy(next_, s.data(), s.size());
    next_ += s.size();
  }
  void integer(std::int64_t v);
  void real(double v);
  // Hands everything buffered to the sink.
  void flush();

 private:
  // The longest text a single integer or real can take.
  static constexpr std::size_t kNumberRoom = 32;
  void makeRoom(std::size_t size);

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
  void text(std::string_view s) { os_ << s; }
  void integer(std::int64_t v) { os_ << v; }
  void real(double v) { os_ << v; }
  void flush();

 private:
  std::ostream& os_;
};

}  // namespace grouptrace
