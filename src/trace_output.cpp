#include "grouptrace/trace_output.h"

#include <cerrno>
#include <charconv>
#include <cmath>

namespace grouptrace {

BlockOutput::BlockOutput(ByteSink& sink)
    : sink_(sink),
      buffer_(new char[kBlockSize]),
      next_(buffer_.get()),
      end_(buffer_.get() + kBlockSize) {
}

void BlockOutput::makeRoom(std::size_t size) {
  flush();
  if (size > kBlockSize) {
    // Only a writer that reserved more than a block could ask this.
    throw std::length_error("a trace line longer than an output block");
  }
}

void BlockOutput::flush() {
  const auto size = static_cast<std::size_t>(next_ - buffer_.get());
  next_ = buffer_.get();
  if (size > 0) sink_.write(buffer_.get(), size);
}

char* BlockOutput::generalReal(char* next, double v) {
  // Six significant digits and an exponent of at most three: "-1.23457e+308".
  return std::to_chars(next, next + kNumberRoom, v, std::chars_format::general, 6).ptr;
}

void StreamOutput::flush() {
  os_.flush();
  if (!os_) throw WriteError(errno != 0 ? errno : EIO);
}

}  // namespace grouptrace
