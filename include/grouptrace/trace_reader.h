#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "grouptrace/byte_source.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// Reads a request trace front to back and hands out its events one at a time,
// replaying the membership as it goes. Every line is checked as it is read: the
// exact text of the header, table, markers and records; the markers' order;
// each record's session against the table; a join never of a member, a leave
// never of a non-member or a source; the beef-up phase's passes over the
// sessions; that the records are ones the generator's run can produce, given
// what the header and the records themselves imply about the network; and the
// summary's counts against the records. The first line that fails any of these
// throws a TraceError naming it, so an event once handed out is part of a
// trace that is sound up to that point.
//
// Memory stays fixed whatever the length: one read buffer, the session table
// and the members present at the time.
//
//   grouptrace::FileSource file("run.trace");
//   grouptrace::TraceReader reader(file);
//   grouptrace::TraceEvent event;
//   while (reader.next(event)) { ... }   // std::visit, std::get_if, ...
class TraceReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  explicit TraceReader(ByteSource& source, std::size_t bufferSize = kDefaultBufferSize);
  TraceReader(TraceReader&& other) noexcept;
  TraceReader& operator=(TraceReader&& other) noexcept;
  TraceReader(const TraceReader&) = delete;
  TraceReader& operator=(const TraceReader&) = delete;
  ~TraceReader();

  // Reads up to the next event and stores it. False once the summary, the last
  // event, has been handed out: the summary only comes once the input has been
  // seen to end after it. Throws TraceError at the first faulty line, and
  // std::system_error when the source cannot be read. After a TraceError the
  // reader hands out nothing more: next() returns false.
  bool next(TraceEvent& event);

  // The line of the event last handed out: for a request record, its "U" line.
  std::uint64_t line() const;

  // The state the trace has reached with the event last handed out.
  const TraceHeader& header() const;
  std::int32_t sessionCount() const;
  NODEID source(std::int32_t session) const;
  // Members, the source included.
  Count groupSize(std::int32_t session) const;
  bool isMember(std::int32_t session, NODEID node) const;
  // Empty before the first phase marker.
  std::optional<TracePhase> phase() const;
  Count joins() const;
  Count leaves() const;
  // Every member that is not a source, over all sessions.
  std::size_t joinedMembers() const;

 private:
  // Internal, although nested in an exported class.
  class __attribute__((visibility("hidden"))) Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace grouptrace

#pragma GCC visibility pop
