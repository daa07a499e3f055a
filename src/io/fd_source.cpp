#include "grouptrace/fd_source.h"

#include <system_error>

#include "io/fd_io.h"

namespace grouptrace {

std::size_t FdSource::read(char* buffer, std::size_t size) {
  const ssize_t got = readSome(fd_, buffer, size);
  if (got < 0) throw std::system_error(errno, std::generic_category(), "read");
  return static_cast<std::size_t>(got);
}

}  // namespace grouptrace
