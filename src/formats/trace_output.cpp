#include "formats/trace_output.h"

#include <algorithm>
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
  // Bounds in bit/s put most bands at a million and more: whole numbers of the
  // 32-bit range get their six significant digits by integer arithmetic.
  constexpr double kLimit = 4294967296.0;
  if (std::fabs(v) >= 1e6 && std::fabs(v) < kLimit && v == std::trunc(v)) {
    if (v < 0) *next++ = '-';
    return wholeInExponentForm(next, static_cast<std::uint64_t>(std::fabs(v)));
  }
  // Six significant digits and an exponent of at most three: "-1.23457e+308".
  return std::to_chars(next, next + kNumberRoom, v, std::chars_format::general, 6).ptr;
}

char* BlockOutput::wholeInExponentForm(char* next, std::uint64_t u) {
  // u, at least a million, has 7 to 10 digits. Keep six, rounding the exact decimal value half to
  // even as printf does, which may carry into a seventh digit.
  int exponent = 6;
  std::uint64_t unit = 10;
  while (u / unit >= 1000000) {
    unit *= 10;
    ++exponent;
  }
  std::uint64_t digits = u / unit;
  const std::uint64_t rest = u % unit;
  if (rest > unit / 2 || (rest == unit / 2 && (digits & 1) != 0)) ++digits;
  if (digits == 1000000) {
    digits = 100000;
    ++exponent;
  }
  // "d.ddddd" without trailing zeros, then "e+NN".
  while (digits % 10 == 0) digits /= 10;
  char buffer[8];
  char* end = std::to_chars(buffer, buffer + sizeof buffer, digits).ptr;
  *next++ = buffer[0];
  if (end - buffer > 1) {
    *next++ = '.';
    next = std::copy(buffer + 1, end, next);
  }
  *next++ = 'e';
  *next++ = '+';
  if (exponent < 10) *next++ = '0';
  return std::to_chars(next, next + 2, exponent).ptr;
}

void StreamOutput::flush() {
  os_.flush();
  if (!os_) throw WriteError(errno != 0 ? errno : EIO);
}

}  // namespace grouptrace
