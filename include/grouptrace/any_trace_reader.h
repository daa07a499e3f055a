#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "grouptrace/byte_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/types.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// The form a trace is written in, told from the first bytes of its first line:
// "// Print Group requests" opens the trace text, "phase," or "time," the CSV
// header row (classic or timed), "{" a JSON Lines object. Nothing for any other
// start; at least the first 23 bytes (or the whole first line) are needed to
// tell the text apart.
std::optional<TraceFormat> detectTraceFormat(std::string_view firstBytes);

// Reads a trace in any of the forms grouptrace writes (the trace text, CSV or
// JSON Lines, classic or timed) and hands out the same events as TraceReader:
// the header, the session table, a PhaseStart for each of the three phases in
// order (a phase without requests included), the records and the summary.
// The form is told from the first line (detectTraceFormat); an input that
// opens with none of them is read as trace text, and so refused with the text
// reader's own message.
//
// The trace text is read by a TraceReader, with every rule it checks. CSV and
// JSON Lines rows are checked for their form (a message naming the line, as a
// TraceError), sessions against the session table, a join never of a member, a
// leave never of a non-member or a source, phases in order (beef-up joins only,
// end-of-session leaves only). A classic JSON Lines trace, whose header holds
// the average group size and ordered flag, is replayed with the text reader's
// rules, the beef-up passes and the summary's counts included. A timed trace
// (CSV with a leading time column, JSON Lines whose header names the model
// "dynamic-1") needs a time on every request, never decreasing, the beef-up
// phase's joins at time 0, and in JSON Lines every time within [0, duration]
// and the summary's joins and leaves matching the records. A JSON Lines header
// naming another model is refused: a later version wrote it.
//
// What CSV cannot hold the reader reports as follows. The header's avgSize and
// orderedJoinLeave are 0. A timed CSV trace does not record its duration: the
// header's duration is +infinity (timed, of unrecorded length). No summary row
// is written, so the summary, handed out once the input ends, counts the
// records: joins and leaves, trans their sum (the counter as if it had started
// at 0; the run's real starting counter is not in the CSV), blocked 0.
// recorded() says which of these values the form read recorded, so that a
// caller need not tell them from the values (since 1.1).
//
//   grouptrace::FileSource file(path);
//   grouptrace::AnyTraceReader reader(file);
//   grouptrace::TraceEvent event;
//   while (reader.next(event)) { ... }
// Which of the header's and the summary's values a trace's form recorded
// (AnyTraceReader::recorded()); the others are reported as described above.
struct TraceRecorded {
  // The header's avgSize and orderedJoinLeave.
  bool headerValues = true;
  // The header's duration is the run's: true only for a timed trace whose
  // form records how long the run was.
  bool duration = false;
  // The summary's trans is the run's counter.
  bool counter = true;
  // The summary is the trace's own line, a timed run's blocked arrivals
  // included, rather than the records counted at the end of the input.
  bool summary = true;
};

class AnyTraceReader {
 public:
  explicit AnyTraceReader(ByteSource& source,
                          std::size_t bufferSize = TraceReader::kDefaultBufferSize);
  AnyTraceReader(AnyTraceReader&& other) noexcept;
  AnyTraceReader& operator=(AnyTraceReader&& other) noexcept;
  AnyTraceReader(const AnyTraceReader&) = delete;
  AnyTraceReader& operator=(const AnyTraceReader&) = delete;
  ~AnyTraceReader();

  // As TraceReader::next: false once the summary has been handed out; throws
  // TraceError at the first faulty line and std::system_error when the source
  // cannot be read. The first call reads the first line to tell the form.
  bool next(TraceEvent& event);

  // The form being read; TraceFormat::trace before the first next().
  TraceFormat format() const;
  // True for a trace of the timed model (its requests carry times).
  bool timed() const;
  // Which values the form being read recorded; those of the trace text
  // before the first next(), and `duration` known once the header is read.
  TraceRecorded recorded() const;
  // The line of the event last handed out; for a PhaseStart a CSV or JSON
  // Lines trace only implies, the line of the row that implied it.
  std::uint64_t line() const;

  // The state the trace has reached with the event last handed out, as
  // TraceReader reports it.
  const TraceHeader& header() const;
  std::int32_t sessionCount() const;
  NODEID source(std::int32_t session) const;
  // Members, the source included.
  Count groupSize(std::int32_t session) const;
  bool isMember(std::int32_t session, NODEID node) const;
  std::optional<TracePhase> phase() const;
  Count joins() const;
  Count leaves() const;

 private:
  // Internal, although nested in an exported class.
  class __attribute__((visibility("hidden"))) Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace grouptrace

#pragma GCC visibility pop
