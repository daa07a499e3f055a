#pragma once

#include <stdexcept>

namespace grouptrace {

// A command line a program refuses; what() is one line naming the argument at
// fault. The programs report it and exit with the status for bad usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace grouptrace
