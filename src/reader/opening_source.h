#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "grouptrace/byte_source.h"

namespace grouptrace {

// Reads the opening of a trace to tell its form, then hands out those bytes
// and the rest of the source, so that the reader chosen sees the input from
// its first byte. A source is read once: a pipe cannot be opened again.
class OpeningSource final : public ByteSource {
 public:
  explicit OpeningSource(ByteSource& source) : source_(source) {}

  // Reads until `size` bytes are kept, a line ends, or the input does.
  std::string_view readOpening(std::size_t size) {
    while (kept_.size() < size && kept_.find('\n') == std::string::npos) {
      char block[64];
      const std::size_t n = source_.read(block, std::min(sizeof block, size - kept_.size()));
      if (n == 0) break;
      kept_.append(block, n);
    }
    return kept_;
  }

  std::size_t read(char* buffer, std::size_t size) override {
    if (at_ < kept_.size()) {
      const std::size_t n = std::min(size, kept_.size() - at_);
      std::memcpy(buffer, kept_.data() + at_, n);
      at_ += n;
      return n;
    }
    return source_.read(buffer, size);
  }

 private:
  ByteSource& source_;
  std::string kept_;
  std::size_t at_ = 0;
};

}  // namespace grouptrace
