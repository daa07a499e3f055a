#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "grouptrace/byte_source.h"
#include "grouptrace/line_source.h"
#include "grouptrace/membership_table.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// Reads a request trace front to back and hands out its events one at a time,
// replaying the membership as it goes. Every line is checked as it is read: the
// exact text of the header, table, markers and records; the markers' order;
// each record's session against the table; a join never of a member, a leave
// never of a non-member or a source; the beef-up phase's passes over the
// sessions; and the summary's counts against the records. The first line that
// fails any of these throws a TraceError naming it, so an event once handed out
// is part of a trace that is sound up to that point.
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

  // Reads up to the next event and stores it. False once the summary, the last
  // event, has been handed out: the summary only comes once the input has been
  // seen to end after it. Throws TraceError at the first faulty line, and
  // std::system_error when the source cannot be read. After a TraceError the
  // reader hands out nothing more: next() returns false.
  bool next(TraceEvent& event);

  // The line of the event last handed out: for a request record, its "U" line.
  std::uint64_t line() const { return eventLine_; }

  // The state the trace has reached with the event last handed out.
  const TraceHeader& header() const { return header_; }
  std::int32_t sessionCount() const { return static_cast<std::int32_t>(sources_.size()); }
  NODEID source(std::int32_t session) const { return sources_[static_cast<std::size_t>(session)]; }
  // Members, the source included.
  Count groupSize(std::int32_t session) const {
    return 1 + extraMembers_[static_cast<std::size_t>(session)];
  }
  bool isMember(std::int32_t session, NODEID node) const;
  // Empty before the first phase marker.
  std::optional<TracePhase> phase() const;
  Count joins() const { return joins_; }
  Count leaves() const { return leaves_; }
  // Every member that is not a source, over all sessions.
  std::size_t joinedMembers() const { return members_.size(); }

 private:
  enum class Stage : std::uint8_t {
    title,
    columns,
    averageSize,
    ordered,
    tableOpen,
    table,
    beefUp,
    joinLeave,
    endOfSession,
    done,
  };

  // The next line, or a TraceError saying the trace ends before `expected`.
  std::string_view need(std::string_view expected);
  // Each throws the TraceError and leaves the reader spent.
  [[noreturn]] void fail(const std::string& reason);
  [[noreturn]] void failAt(std::uint64_t line, const std::string& reason);
  [[noreturn]] void expected(std::string_view what, std::string_view found);

  void readGroupBlocks();
  // A line of the phase body: a record, the next marker or the summary.
  bool readBody(std::string_view text, TraceEvent& event);
  void startPhase(Stage stage, TracePhase phase, TraceEvent& event);
  void readRecord(TraceEvent& event);
  // Reads a whole record straight from the buffer when it is complete there
  // and in the usual form; false leaves everything to the line-by-line path,
  // which also words every error.
  bool readRecordInPlace(TraceEvent& event);
  void applyJoin(const JoinRecord& join);
  void applyLeave(const LeaveRecord& leave);
  void readSummary(std::string_view text, TraceEvent& event);
  std::int32_t sessionIndex(std::int64_t value, std::string_view role);

  LineSource lines_;
  Stage stage_ = Stage::title;
  std::uint64_t eventLine_ = 0;
  TraceHeader header_;
  std::vector<NODEID> sources_;
  std::vector<Count> extraMembers_;
  MembershipTable members_;
  Count joins_ = 0;
  Count leaves_ = 0;
  // The beef-up phase joins every session once per pass, in index order, for
  // at most avgSize - 1 passes.
  std::int32_t beefUpNext_ = 0;
  Count beefUpPasses_ = 0;
};

}  // namespace grouptrace
