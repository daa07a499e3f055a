#pragma once

#include "grouptrace/byte_source.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// Reads an open file descriptor (standard input, a pipe, a file) that stays the
// caller's to close.
class FdSource : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::size_t read(char* buffer, std::size_t size) override;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace grouptrace

#pragma GCC visibility pop
