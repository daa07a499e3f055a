#include "io/fd_io.h"

#include <unistd.h>

namespace grouptrace {

ssize_t RawIo::read(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, size);
}

ssize_t RawIo::write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}

int RawIo::poll(pollfd* fds, nfds_t count, int timeout) {
  return ::poll(fds, count, timeout);
}

RawIo& systemIo() {
  struct SystemIo final : RawIo {};
  static SystemIo io;
  return io;
}

ssize_t readSome(int fd, char* buffer, std::size_t size, RawIo& io) {
  return retryInterrupted([&] { return io.read(fd, buffer, size); });
}

int writeAll(int fd, const char* data, std::size_t size, RawIo& io) {
  while (size > 0) {
    const ssize_t written = retryInterrupted([&] { return io.write(fd, data, size); });
    if (written < 0) {
      // A descriptor left non-blocking by whoever started the program (a
      // shared pipe, a terminal) refuses writes while its reader lags.
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
      pollfd p{fd, POLLOUT, 0};
      // Readiness and errors alike end the wait: the next write reports the error.
      if (retryInterrupted([&] { return io.poll(&p, 1, -1); }) < 0) return errno;
      continue;
    }
    if (written == 0) return EIO;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace grouptrace
