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
    // Too long for any block: only a caller's own text can be this long.
    throw std::length_error("text longer than an output block");
  }
}

void BlockOutput::flush() {
  const auto size = static_cast<std::size_t>(next_ - buffer_.get());
  next_ = buffer_.get();
  if (size > 0) sink_.write(buffer_.get(), size);
}

void BlockOutput::integer(std::int64_t v) {
  if (static_cast<std::size_t>(end_ - next_) < kNumberRoom) makeRoom(kNumberRoom);
  next_ = std::to_chars(next_, end_, v).ptr;
}

void BlockOutput::real(double v) {
  if (static_cast<std::size_t>(end_ - next_) < kNumberRoom) makeRoom(kNumberRoom);
  // %g with six significant digits writes a whole number below one million in
  // magnitude as its plain digits; only larger ones need the general conversion.
  if (v > -1e6 && v < 1e6 && v == std::trunc(v) && !(v == 0.0 && std::signbit(v))) {
    next_ = std::to_chars(next_, end_, static_cast<std::int64_t>(v)).ptr;
  } else {
    next_ = std::to_chars(next_, end_, v, std::chars_format::general, 6).ptr;
  }
}

void StreamOutput::flush() {
  os_.flush();
  if (!os_) throw WriteError(errno != 0 ? errno : EIO);
}

}  // namespace grouptrace
