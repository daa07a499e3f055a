#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "grouptrace/byte_source.h"
#include "io/sha256.h"

namespace grouptrace {

// Passes a source's bytes on, counting and hashing them, up to one byte past
// `limit`: a trace checked against a record of its size is read no further
// than that, so a device that never ends (/dev/zero) cannot hold the check up.
// Past the limit it reads as ended.
class DigestSource final : public ByteSource {
 public:
  explicit DigestSource(ByteSource& source,
                        std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() - 1)
      : source_(source), limit_(limit) {}

  std::size_t read(char* buffer, std::size_t size) override {
    if (bytes_ > limit_) return 0;
    const std::size_t n = source_.read(buffer, size);
    hash_.update(buffer, n);
    bytes_ += n;
    return n;
  }

  // Reads what the reader left, so that the count and hash are the whole input's.
  void drain() {
    char block[1 << 16];
    while (read(block, sizeof block) > 0) {
    }
  }

  // Bytes passed on: more than `limit` when the source holds more.
  std::uint64_t bytes() const { return bytes_; }
  // The hash of the bytes passed on; ends the hashing.
  std::string sha256() { return hash_.hex(); }

 private:
  ByteSource& source_;
  std::uint64_t limit_;
  std::uint64_t bytes_ = 0;
  Sha256 hash_;
};

}  // namespace grouptrace
