#pragma once

#include <string_view>

#include "grouptrace/byte_source.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// A trace already in memory; the text must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view text) : rest_(text) {}
  std::size_t read(char* buffer, std::size_t size) override;

 private:
  std::string_view rest_;
};

}  // namespace grouptrace

#pragma GCC visibility pop
