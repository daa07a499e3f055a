#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// A write that failed (a full disk, a closed descriptor). The trace is then
// incomplete, and the run must end with a failure status rather than go on.
class WriteError : public std::runtime_error {
 public:
  explicit WriteError(int errnum);
  int errnum() const { return errnum_; }

 private:
  int errnum_;
};

// Where finished blocks of trace text go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(const char* data, std::size_t size) = 0;
};

// Writes to a file descriptor, retrying partial and interrupted writes and
// waiting out a non-blocking descriptor that is full; throws WriteError on any
// other failure.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  void write(const char* data, std::size_t size) override;

 private:
  int fd_;
};

// Collects the text in memory (tests, tools).
class StringSink final : public ByteSink {
 public:
  void write(const char* data, std::size_t size) override { text_.append(data, size); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace grouptrace

#pragma GCC visibility pop
