#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace grouptrace {

// A descriptor that could not be opened, read or written: what() is the whole
// message, errnum() the errno of the failed call and path() the file (or the
// folder) it concerns, for callers that word their own message.
class IoError : public std::runtime_error {
 public:
  IoError(const std::string& message, int errnum, std::string path)
      : std::runtime_error(message), errnum_(errnum), path_(std::move(path)) {}
  int errnum() const { return errnum_; }
  const std::string& path() const { return path_; }

 private:
  int errnum_;
  std::string path_;
};

// The system calls under every read and write of a descriptor. The loops below
// take them as an argument, so that a test can hand back what a real descriptor
// does only now and then (an interrupted call, a short count, a full
// non-blocking pipe, a failure) without pipes, signals or sleeps.
class RawIo {
 public:
  virtual ssize_t read(int fd, void* buffer, std::size_t size);
  virtual ssize_t write(int fd, const void* data, std::size_t size);
  virtual int poll(pollfd* fds, nfds_t count, int timeout);

 protected:
  ~RawIo() = default;
};

// The calls themselves. Stateless: shared by every descriptor of the process.
RawIo& systemIo();

// Makes `call` again for as long as it fails with EINTR: a signal caught
// elsewhere in the process interrupts the call, it does not fail it.
template <class Call>
auto retryInterrupted(Call&& call) {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

// Reads up to `size` bytes into `buffer`; 0 only at the end of the input.
// Returns -1 with errno set when the read failed.
ssize_t readSome(int fd, char* buffer, std::size_t size, RawIo& io = systemIo());

// Writes all `size` bytes: continues after a short write and waits out a
// non-blocking descriptor that is full (back-pressure, not a failure). Returns
// 0, or the errno of the write that failed (EIO for one that took nothing).
int writeAll(int fd, const char* data, std::size_t size, RawIo& io = systemIo());

}  // namespace grouptrace
