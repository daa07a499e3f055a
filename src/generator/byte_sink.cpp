#include "grouptrace/byte_sink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace grouptrace {

WriteError::WriteError(int errnum)
    : std::runtime_error(std::string("cannot write the trace: ") + std::strerror(errnum)),
      errnum_(errnum) {
}

void FdSink::write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw WriteError(errno);
    }
    if (written == 0) throw WriteError(EIO);
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace grouptrace
