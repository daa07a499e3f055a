#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "grouptrace/byte_source.h"

namespace grouptrace {

// Splits a byte source into lines through one fixed buffer, refilled a block at
// a time, so memory stays the same however long the trace is. A line may not
// be longer than the buffer.
class LineSource {
 public:
  LineSource(ByteSource& source, std::size_t bufferSize);

  // The next line without its newline, valid until the following call; false
  // at the end of the input. Throws TraceError for a line longer than the buffer.
  bool next(std::string_view& line);

  // The bytes read but not yet returned, which may end inside a line: a caller
  // can parse whole lines in place and then skip() past them.
  std::string_view buffered() const {
    return std::string_view(next_, static_cast<std::size_t>(end_ - next_));
  }
  // Consumes the first `bytes` of buffered(), which hold `lines` whole lines.
  void skip(std::size_t bytes, std::uint64_t lines) {
    next_ += bytes;
    number_ += lines;
    position_ += bytes;
  }
  // Bytes of the input consumed so far: the input's offset of buffered().
  std::uint64_t position() const { return position_; }

  // The 1-based number of the line last returned (0 before the first).
  std::uint64_t number() const { return number_; }
  // True when the line last returned was cut off by the end of the input.
  bool unterminated() const { return unterminated_; }

 private:
  // Moves what is left to the front of the buffer and reads more behind it;
  // false once the source has nothing more.
  bool refill();

  ByteSource& source_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  const char* next_;
  const char* end_;
  std::uint64_t number_ = 0;
  std::uint64_t position_ = 0;
  bool ended_ = false;
  bool unterminated_ = false;
};

}  // namespace grouptrace
