#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_event.h"

// What a reader made of one input: the events it handed out and whether it
// took the whole input, or the line and message it refused it with.
struct Verdict {
  std::vector<grouptrace::TraceEvent> events;
  bool accepted = false;
  std::uint64_t line = 0;
  std::string message;
};

inline const char* describe(const Verdict& v) {
  return v.accepted ? "accepted" : v.message.c_str();
}

// The first line, from 1, at least `size` bytes long without its newline: a buffer of `size`
// bytes cannot hold it with its newline. 0 when there is none.
inline std::uint64_t firstLineOfAtLeast(std::string_view text, std::size_t size) {
  std::uint64_t line = 1;
  for (std::size_t start = 0; start < text.size(); ++line) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (end - start >= size) return line;
    start = end + 1;
  }
  return 0;
}

// Reads the input to its end with `reader`, calling `follow` after each event,
// and checks what every reader promises: a refusal names its line in one line
// of text and ends the reading, and an accepted trace ends with its summary.
template <class Reader, class Follow>
Verdict readVerdict(Reader& reader, Follow follow) {
  Verdict verdict;
  grouptrace::TraceEvent event;
  try {
    while (reader.next(event)) {
      verdict.events.push_back(event);
      follow(event);
    }
    verdict.accepted = true;
  } catch (const grouptrace::TraceError& e) {
    verdict.line = e.line();
    verdict.message = e.what();
    const std::string prefix = "line " + std::to_string(e.line()) + ": ";
    CHECK(verdict.message.rfind(prefix, 0) == 0 && verdict.message.size() > prefix.size(),
          "the message does not start with its line: %s", e.what());
    CHECK(verdict.message.find('\n') == std::string::npos, "a message of several lines: %s",
          e.what());
    CHECK(!reader.next(event), "an event after the refusal on line %llu",
          static_cast<unsigned long long>(e.line()));
  }
  CHECK(!verdict.accepted ||
            (!verdict.events.empty() &&
             std::holds_alternative<grouptrace::TraceSummary>(verdict.events.back())),
        "accepted without a summary last");
  return verdict;
}
