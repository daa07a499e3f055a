// Fuzz target: the trace reader.
//
// An input is a trace. Besides the sanitizers, every input is checked against what the reader
// must do whatever its buffer: the verdict (accepted, or the line and message of the refusal)
// and the events handed out must be the same through buffers of other sizes, except that a
// buffer too small for a line refuses that line; the state the reader answers with must follow
// its own events; and a trace it accepts must be exactly what the generator's trace writer
// writes for those events, so that nothing is accepted in a form the generator never writes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/trace_reader.h"
#include "reader_verdict.h"

namespace {

using namespace grouptrace;

// Checks the reader's answers after each event against the events themselves.
class StateCheck {
 public:
  explicit StateCheck(const TraceReader& reader) : reader_(reader) {}

  void after(const TraceEvent& event) {
    CHECK(reader_.line() > lastLine_, "event on line %llu after one on line %llu",
          static_cast<unsigned long long>(reader_.line()),
          static_cast<unsigned long long>(lastLine_));
    lastLine_ = reader_.line();
    if (const auto* entry = std::get_if<SessionEntry>(&event)) {
      CHECK(entry->session == static_cast<std::int32_t>(sizes_.size()), "session %d out of turn",
            entry->session);
      sizes_.push_back(1);
      CHECK(reader_.sessionCount() == entry->session + 1, "session count %d after session %d",
            reader_.sessionCount(), entry->session);
      CHECK(reader_.source(entry->session) == entry->source, "session %d's source", entry->session);
      CHECK(reader_.isMember(entry->session, entry->source), "a source is not a member");
    } else if (const auto* join = std::get_if<JoinRecord>(&event)) {
      ++joins_;
      expectSize(join->session, ++sizes_.at(static_cast<std::size_t>(join->session)));
      CHECK(reader_.isMember(join->session, join->node), "node %d joined session %d, no member",
            join->node, join->session);
    } else if (const auto* leave = std::get_if<LeaveRecord>(&event)) {
      ++leaves_;
      expectSize(leave->session, --sizes_.at(static_cast<std::size_t>(leave->session)));
      CHECK(!reader_.isMember(leave->session, leave->node), "node %d left session %d, a member",
            leave->node, leave->session);
    } else if (const auto* summary = std::get_if<TraceSummary>(&event)) {
      CHECK(summary->joins == joins_ && summary->leaves == leaves_,
            "the summary says J %lld R %lld, the events %lld and %lld",
            static_cast<long long>(summary->joins), static_cast<long long>(summary->leaves),
            static_cast<long long>(joins_), static_cast<long long>(leaves_));
      // Once over the whole table: members are the sources plus the joins not undone.
      Count members = 0;
      for (std::int32_t s = 0; s < reader_.sessionCount(); ++s) members += reader_.groupSize(s);
      CHECK(members == reader_.sessionCount() + joins_ - leaves_,
            "%lld members in %d sessions after %lld joins and %lld leaves",
            static_cast<long long>(members), reader_.sessionCount(), static_cast<long long>(joins_),
            static_cast<long long>(leaves_));
      CHECK(static_cast<Count>(reader_.joinedMembers()) == joins_ - leaves_,
            "%zu joined members after %lld joins and %lld leaves", reader_.joinedMembers(),
            static_cast<long long>(joins_), static_cast<long long>(leaves_));
    }
    CHECK(reader_.joins() == joins_ && reader_.leaves() == leaves_,
          "the reader counts %lld joins and %lld leaves, the events %lld and %lld",
          static_cast<long long>(reader_.joins()), static_cast<long long>(reader_.leaves()),
          static_cast<long long>(joins_), static_cast<long long>(leaves_));
  }

 private:
  void expectSize(std::int32_t session, Count size) {
    CHECK(reader_.groupSize(session) == size, "session %d has %lld members, the events say %lld",
          session, static_cast<long long>(reader_.groupSize(session)),
          static_cast<long long>(size));
  }

  const TraceReader& reader_;
  std::vector<Count> sizes_;
  Count joins_ = 0;
  Count leaves_ = 0;
  std::uint64_t lastLine_ = 0;
};

Verdict readWith(std::string_view text, std::size_t bufferSize) {
  MemorySource source(text);
  TraceReader reader(source, bufferSize);
  StateCheck state(reader);
  return readVerdict(reader, [&](const TraceEvent& event) { state.after(event); });
}

std::size_t longestLine(std::string_view text) {
  std::size_t longest = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    longest = std::max(longest, end - start);
    start = end + 1;
  }
  return longest;
}

// A buffer of `size` bytes refuses the first line that does not fit, if the reader gets that
// far; otherwise it must read exactly as a buffer that holds every line.
void compare(std::string_view text, const Verdict& reference, std::size_t size) {
  const Verdict other = readWith(text, size);
  const std::uint64_t tooLong = firstLineOfAtLeast(text, size);
  if (tooLong != 0 && (reference.accepted || tooLong <= reference.line)) {
    CHECK(!other.accepted && other.line == tooLong &&
              other.message.find("longer than " + std::to_string(size) + " bytes") !=
                  std::string::npos,
          "a buffer of %zu bytes: %s, expected line %llu too long", size, describe(other),
          static_cast<unsigned long long>(tooLong));
    CHECK(other.events.size() <= reference.events.size() &&
              std::equal(other.events.begin(), other.events.end(), reference.events.begin()),
          "a buffer of %zu bytes hands out other events before line %llu", size,
          static_cast<unsigned long long>(tooLong));
    return;
  }
  CHECK(other.accepted == reference.accepted && other.line == reference.line &&
            other.message == reference.message,
        "a buffer of %zu bytes: %s; the default buffer: %s", size, describe(other),
        describe(reference));
  CHECK(other.events == reference.events, "a buffer of %zu bytes hands out other events", size);
}

// The text the generator's writer makes of the events.
std::string rewrite(const std::vector<TraceEvent>& events) {
  StringSink sink;
  const auto writer = makeTraceWriter(TraceFormat::trace, sink);
  for (const TraceEvent& event : events) deliver(event, *writer);
  return sink.text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The reference holds every line; the default buffer is compared with it like any other.
  const std::size_t longest = longestLine(text);
  const std::size_t whole = std::max(TraceReader::kDefaultBufferSize, longest + 1);
  const Verdict reference = readWith(text, whole);
  if (reference.accepted) {
    CHECK(rewrite(reference.events) == text, "accepted a trace the writer writes otherwise");
  }
  if (whole != TraceReader::kDefaultBufferSize) {
    compare(text, reference, TraceReader::kDefaultBufferSize);
  }

  // Just large enough for the longest line, so that most refills split a line; and a size from
  // the input's bytes around it, which may be too small for some line.
  compare(text, reference, longest + 1);
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const char byte : text) hash = (hash ^ static_cast<std::uint8_t>(byte)) * 16777619u;
  compare(text, reference, 2 + hash % (longest + 64));
  return 0;
}
