#pragma once

#include <cstddef>

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// Where the bytes of a trace come from. The reader asks for large blocks, so an
// implementation should hand over as much as it has rather than a line at a time.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to size bytes into buffer and returns how many; 0 only at the end
  // of the input. Throws std::system_error when the input cannot be read.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

}  // namespace grouptrace

#pragma GCC visibility pop
