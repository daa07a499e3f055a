#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// The first line of a trace that is malformed or contradicts what came before
// it. what() reads "line N: reason", the form tools print.
class TraceError : public std::runtime_error {
 public:
  TraceError(std::uint64_t line, const std::string& reason);
  // 1-based; one past the last line when the trace ends too early.
  std::uint64_t line() const { return line_; }
  const std::string& reason() const { return reason_; }

 private:
  std::uint64_t line_;
  std::string reason_;
};

}  // namespace grouptrace

#pragma GCC visibility pop
