#include "grouptrace/byte_sink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace grouptrace {

WriteError::WriteError(int errnum)
    : std::runtime_error(std::string("cannot write the trace: ") + std::strerror(errnum)),
      errnum_(errnum) {
}

namespace {

// Waits until `fd` takes more bytes. A descriptor left non-blocking by whoever
// started the program (a shared pipe, a terminal) refuses writes while its
// reader lags; that is back-pressure, not a failure.
void awaitWritable(int fd) {
  pollfd p{fd, POLLOUT, 0};
  // Readiness and errors alike end the wait: the next write reports the error.
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) throw WriteError(errno);
  }
}

}  // namespace

void FdSink::write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        awaitWritable(fd_);
        continue;
      }
      throw WriteError(errno);
    }
    if (written == 0) throw WriteError(EIO);
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace grouptrace
