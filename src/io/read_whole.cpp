#include "io/read_whole.h"

namespace grouptrace {

bool readWhole(ByteSource& source, std::string& text, std::size_t limit) {
  char block[1 << 16];
  while (text.size() <= limit) {
    const std::size_t got = source.read(block, sizeof block);
    if (got == 0) break;
    text.append(block, got);
  }
  return text.size() <= limit;
}

}  // namespace grouptrace
