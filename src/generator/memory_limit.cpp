#include "generator/memory_limit.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace grouptrace {

std::uint64_t cgroupMemoryLimit(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return kNoMemoryLimit;
  char line[64] = {};
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return kNoMemoryLimit;

  std::uint64_t limit = 0;
  const char* c = line;
  for (; *c >= '0' && *c <= '9'; ++c) {
    const auto digit = static_cast<std::uint64_t>(*c - '0');
    if (limit > (kNoMemoryLimit - digit) / 10) return kNoMemoryLimit;
    limit = limit * 10 + digit;
  }
  const bool number = c != line && (*c == '\0' || *c == '\n');
  return number ? limit : kNoMemoryLimit;
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
