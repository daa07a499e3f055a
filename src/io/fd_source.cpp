#include "grouptrace/fd_source.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace grouptrace {

std::size_t FdSource::read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "read");
  }
}

}  // namespace grouptrace
