#pragma once

#include <string>
#include <string_view>

namespace grouptrace {

// "1 join", "0 joins", "2 joins": a count with its noun, singular only for one.
inline std::string counted(long long n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// The counts every report of a trace opens with:
// "2 sessions, 7 requests (4 joins, 3 leaves)".
inline std::string traceCounts(long long sessions, long long joins, long long leaves) {
  return counted(sessions, "session", "sessions") + ", " +
         counted(joins + leaves, "request", "requests") + " (" + counted(joins, "join", "joins") +
         ", " + counted(leaves, "leave", "leaves") + ")";
}

}  // namespace grouptrace
