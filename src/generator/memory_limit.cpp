#include "generator/memory_limit.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/number_text.h"

namespace grouptrace {

std::uint64_t cgroupMemoryLimit(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return kNoMemoryLimit;
  char line[64] = {};
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return kNoMemoryLimit;

  // "max", or a byte count in digits: anything else sets no limit we can use.
  std::string_view text(line);
  if (text.ends_with('\n')) text.remove_suffix(1);
  const auto limit = parseInteger(text, IntegerForm::digits);
  return limit ? static_cast<std::uint64_t>(*limit) : kNoMemoryLimit;
}

std::uint64_t availableMemory(std::span<const char* const> cgroupFiles) {
  std::uint64_t memory = kNoMemoryLimit;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && pageSize > 0) {
    memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  }
  for (const char* path : cgroupFiles) memory = std::min(memory, cgroupMemoryLimit(path));
  return memory;
}

}  // namespace grouptrace
