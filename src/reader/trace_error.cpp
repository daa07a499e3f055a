#include "grouptrace/trace_error.h"

namespace grouptrace {

TraceError::TraceError(std::uint64_t line, const std::string& reason)
    : std::runtime_error("line " + std::to_string(line) + ": " + reason),
      line_(line),
      reason_(reason) {
}

}  // namespace grouptrace
