#include "grouptrace/memory_source.h"

#include <algorithm>
#include <cstring>

namespace grouptrace {

std::size_t MemorySource::read(char* buffer, std::size_t size) {
  const std::size_t n = std::min(size, rest_.size());
  if (n > 0) std::memcpy(buffer, rest_.data(), n);
  rest_.remove_prefix(n);
  return n;
}

}  // namespace grouptrace
