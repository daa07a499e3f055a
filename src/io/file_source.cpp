#include "grouptrace/file_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace grouptrace {
namespace {

int openForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  // Traces are read once, front to back: let the kernel read ahead generously.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

}  // namespace

FileSource::FileSource(const std::string& path) : FdSource(openForReading(path)) {
}

FileSource::~FileSource() {
  ::close(fd());
}

}  // namespace grouptrace
