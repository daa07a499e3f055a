// Fuzz target: the reader of every form (the trace text, CSV and JSON Lines).
//
// An input is a trace in any form. Besides the sanitizers, every input is checked against what
// the reader must do whatever its buffer: the same verdict (accepted, or the line and message of
// the refusal) and events through buffers of other sizes, except that a buffer too small for a
// line refuses that line; group sizes and counts that follow its own events, and times that never
// go back; the text reader's very verdict for an input in no other form; and for an accepted CSV
// or JSON Lines trace, the same events again once the writer of its form has written them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "grouptrace/any_trace_reader.h"
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
void followState(const AnyTraceReader& reader, const TraceEvent& event, std::vector<Count>& sizes,
                 double& lastTime) {
  auto changed = [&](std::int32_t session, NODEID node, int delta,
                     const std::optional<double>& time) {
    CHECK(time.has_value() == reader.timed(), "a request %s a time in a %s trace",
          time ? "with" : "without", reader.timed() ? "timed" : "classic");
    if (time) {
      CHECK(*time >= lastTime, "time %g after time %g", *time, lastTime);
      lastTime = *time;
    }
    Count& size = sizes.at(static_cast<std::size_t>(session));
    size += delta;
    CHECK(reader.groupSize(session) == size, "session %d has %lld members, the events say %lld",
          session, static_cast<long long>(reader.groupSize(session)), static_cast<long long>(size));
    CHECK(reader.isMember(session, node) == (delta > 0), "node %d %s session %d", node,
          delta > 0 ? "joined but is no member of" : "left but is a member of", session);
  };
  if (const auto* entry = std::get_if<SessionEntry>(&event)) {
    CHECK(entry->session == static_cast<std::int32_t>(sizes.size()), "session %d out of turn",
          entry->session);
    sizes.push_back(1);
    CHECK(reader.source(entry->session) == entry->source, "session %d's source", entry->session);
  } else if (const auto* join = std::get_if<JoinRecord>(&event)) {
    changed(join->session, join->node, +1, join->time);
  } else if (const auto* leave = std::get_if<LeaveRecord>(&event)) {
    changed(leave->session, leave->node, -1, leave->time);
  } else if (const auto* summary = std::get_if<TraceSummary>(&event)) {
    CHECK(summary->joins == reader.joins() && summary->leaves == reader.leaves(),
          "the summary counts %lld joins and %lld leaves, the reader %lld and %lld",
          static_cast<long long>(summary->joins), static_cast<long long>(summary->leaves),
          static_cast<long long>(reader.joins()), static_cast<long long>(reader.leaves()));
  }
}

Verdict readWith(std::string_view text, std::size_t bufferSize) {
  MemorySource source(text);
  AnyTraceReader reader(source, bufferSize);
  std::vector<Count> sizes;
  double lastTime = 0;
  return readVerdict(reader,
                     [&](const TraceEvent& event) { followState(reader, event, sizes, lastTime); });
}

Verdict readText(std::string_view text) {
  MemorySource source(text);
  TraceReader reader(source, std::max(TraceReader::kDefaultBufferSize, text.size() + 1));
  Verdict verdict;
  TraceEvent event;
  try {
    while (reader.next(event)) verdict.events.push_back(event);
    verdict.accepted = true;
  } catch (const TraceError& e) {
    verdict.line = e.line();
    verdict.message = e.what();
  }
  return verdict;
}

void compare(std::string_view text, const Verdict& reference, std::size_t size) {
  const Verdict other = readWith(text, size);
  const std::uint64_t tooLong = firstLineOfAtLeast(text, size);
  if (tooLong != 0 && (reference.accepted || tooLong <= reference.line)) {
    CHECK(!other.accepted && other.line <= tooLong, "a buffer of %zu bytes: %s, line %llu too long",
          size, describe(other), static_cast<unsigned long long>(tooLong));
    return;
  }
  CHECK(other.accepted == reference.accepted && other.line == reference.line &&
            other.message == reference.message,
        "a buffer of %zu bytes: %s; a buffer of every line: %s", size, describe(other),
        describe(reference));
  CHECK(other.events == reference.events, "a buffer of %zu bytes hands out other events", size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t whole = std::max(TraceReader::kDefaultBufferSize, size + 1);
  const Verdict reference = readWith(text, whole);
  const auto form = detectTraceFormat(text);

  // Whatever opens as no other format is the text reader's to refuse.
  if (!form || *form == TraceFormat::trace) {
    const Verdict plain = readText(text);
    CHECK(plain.accepted == reference.accepted && plain.message == reference.message &&
              plain.events == reference.events,
          "the text reader: %s; the reader of every form: %s", describe(plain),
          describe(reference));
  } else if (reference.accepted) {
    StringSink sink;
    const auto writer = makeTraceWriter(*form, sink);
    for (const TraceEvent& event : reference.events) deliver(event, *writer);
    const Verdict again = readWith(sink.text(), whole);
    CHECK(again.accepted && again.events == reference.events,
          "written again in its form, the trace reads %s", describe(again));
  }

  std::size_t longest = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    longest = std::max(longest, end - start);
    start = end + 1;
  }
  compare(text, reference, longest + 1);
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const char byte : text) hash = (hash ^ static_cast<std::uint8_t>(byte)) * 16777619u;
  compare(text, reference, 2 + hash % (longest + 64));
  return 0;
}
