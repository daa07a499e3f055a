#include "row_trace_reader.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/number_text.h"
#include "formats/format_table.h"
#include "grouptrace/trace_error.h"

namespace grouptrace {
namespace {

constexpr std::int64_t kLargestNode = kInt32Max - 1;

std::string phaseText(TracePhase phase) {
  return std::string(phaseName(phase));
}

std::string timeText(double t) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, t).ptr;
  return std::string(buffer, end);
}

}  // namespace

RowTraceReader::RowTraceReader(ByteSource& source, std::size_t bufferSize, TraceFormat format,
                               std::unique_ptr<RowParser> parser)
    : lines_(source, bufferSize),
      parser_(std::move(parser)),
      summed_(formatEntry(format).holds.summary),
      headerValues_(formatEntry(format).holds.headerValues) {
}

void RowTraceReader::fail(const std::string& reason) const {
  throw TraceError(lines_.number(), reason);
}

Count RowTraceReader::groupSize(std::int32_t session) const {
  return fullRules_ ? replay_.groupSize(session)
                    : members_[static_cast<std::size_t>(session)].size();
}

bool RowTraceReader::isMember(std::int32_t session, NODEID node) const {
  return fullRules_ ? replay_.isMember(session, node)
                    : members_[static_cast<std::size_t>(session)].contains(node);
}

bool RowTraceReader::next(TraceEvent& event) {
  try {
    while (taken_ == queued_) {
      taken_ = queued_ = 0;
      if (stage_ == Stage::done) return false;
      readRow();
    }
    event = queue_[taken_++];
    if (const auto* start = std::get_if<PhaseStart>(&event)) shownPhase_ = start->phase;
    return true;
  } catch (const TraceError&) {
    // Nothing after a faulty line can be trusted.
    stage_ = Stage::done;
    taken_ = queued_ = 0;
    throw;
  }
}

void RowTraceReader::readRow() {
  std::string_view text;
  if (!lines_.next(text)) {
    if (stage_ == Stage::start) {
      throw TraceError(1, "the trace is empty");
    }
    if (summed_) {
      throw TraceError(lines_.number() + 1,
                       "the trace ends here, before its summary line: it is truncated");
    }
    finishUnsummed();
    return;
  }
  eventLine_ = lines_.number();
  if (lines_.unterminated()) {
    fail("the trace ends inside this line, which has no newline: it is truncated");
  }
  if (!text.empty() && text.back() == '\r') {
    fail("a carriage return ends the line; trace lines end with a bare newline");
  }
  if (text.empty()) fail("an empty line, where every line holds a row");
  if (stage_ == Stage::start) {
    readHeaderRow(text);
    return;
  }
  const TraceRow row = parser_->row(text, lines_.number());
  switch (row.kind) {
    case TraceRow::Kind::header:
      fail("a second header line: the header is the first line only");
    case TraceRow::Kind::source:
      takeSource(row);
      break;
    case TraceRow::Kind::join:
    case TraceRow::Kind::leave:
      takeRequest(row);
      break;
    case TraceRow::Kind::summary:
      takeSummary(row);
      break;
  }
}

void RowTraceReader::readHeaderRow(std::string_view text) {
  const TraceRow row = parser_->header(text, lines_.number());
  header_ = row.header;
  timed_ = row.timed;
  // Only the classic run's rules can be replayed, and only with its header values.
  fullRules_ = headerValues_ && !timed_;
  replay_.setHeader(header_);
  stage_ = Stage::table;
  push(header_);
}

void RowTraceReader::takeSource(const TraceRow& row) {
  if (stage_ != Stage::table) {
    fail("a source row after the requests began: the session table comes first");
  }
  if (row.session != sessionCount()) {
    fail("session " + std::to_string(row.session) + " in the table where session " +
         std::to_string(sessionCount()) + " comes next (sessions are listed from 0 up)");
  }
  if (row.node < 0 || row.node > kLargestNode) {
    fail("the source " + std::to_string(row.node) + " is not a node (0 to 2147483646)");
  }
  if (sessionCount() == kInt32Max) fail("more sessions than a 32-bit index can number");
  const auto source = static_cast<NODEID>(row.node);
  if (fullRules_) {
    replay_.addSession(source, lines_.number());
  } else {
    members_.emplace_back(MemberSet::kLargestNetwork);
    members_.back().insert(source);
  }
  sources_.push_back(source);
  push(SessionEntry{static_cast<std::int32_t>(row.session), source});
}

void RowTraceReader::endTable() {
  if (sessionCount() == 0) fail("no source rows: a trace has at least one session");
  stage_ = Stage::body;
}

void RowTraceReader::reachPhase(TracePhase phase) {
  if (!phase_) {
    phase_ = TracePhase::beefUp;
    push(PhaseStart{TracePhase::beefUp});
  }
  if (phase < *phase_) {
    fail("a " + phaseText(phase) + " row after the " + phaseText(*phase_) +
         " phase began: the phases run beef-up, join-leave, end-of-session");
  }
  while (*phase_ < phase) {
    phase_ = static_cast<TracePhase>(static_cast<int>(*phase_) + 1);
    if (fullRules_) replay_.startPhase(*phase_, lines_.number());
    push(PhaseStart{*phase_});
  }
}

void RowTraceReader::checkTime(const TraceRow& row) {
  if (!timed_) {
    if (row.time) fail("a request with a time in a trace whose header names no timed model");
    return;
  }
  if (!row.time) fail("a request without its time, which every request of a timed trace has");
  const double t = *row.time;
  if (t < 0) fail("the time " + timeText(t) + " s is before the run's start at 0");
  if (header_.duration && t > *header_.duration) {
    fail("the time " + timeText(t) + " s is past the run's duration of " +
         timeText(*header_.duration) + " s (the header)");
  }
  if (t < lastTime_) {
    fail("the time " + timeText(t) + " s comes before the time " + timeText(lastTime_) +
         " s of the request on line " + std::to_string(lastTimeLine_) + ": times never decrease");
  }
  if (row.phase == TracePhase::beefUp && t != 0) {
    fail("a beef-up join at time " + timeText(t) +
         " s: the members present at the start join at time 0");
  }
  lastTime_ = t;
  lastTimeLine_ = lines_.number();
}

void RowTraceReader::takeRequest(const TraceRow& row) {
  if (stage_ == Stage::table) endTable();
  reachPhase(row.phase);
  const bool join = row.kind == TraceRow::Kind::join;
  if (row.node < 0 || row.node > kLargestNode) {
    fail("the node " + std::to_string(row.node) + " is not a node (0 to 2147483646)");
  }
  if (row.session < 0 || row.session >= sessionCount()) {
    fail("session " + std::to_string(row.session) + " is not in the session table (sessions 0 to " +
         std::to_string(sessionCount() - 1) + ")");
  }
  const auto node = static_cast<NODEID>(row.node);
  const auto s = static_cast<std::int32_t>(row.session);
  if (join && (row.hops < kInt32Min || row.hops > kInt32Max)) {
    fail("the hop count " + std::to_string(row.hops) + " is not a 32-bit integer");
  }
  checkTime(row);
  if (fullRules_) {
    if (join) {
      replay_.join(node, s, lines_.number());
    } else {
      replay_.leave(node, s, lines_.number());
    }
  } else {
    auto who = [&] {
      return "node " + std::to_string(node) + (join ? " joins" : " leaves") + " session " +
             std::to_string(s);
    };
    if (join && row.phase == TracePhase::endOfSession) {
      fail("a join in the end-of-session phase, which only has leaves (" + who() + ")");
    }
    if (!join && row.phase == TracePhase::beefUp) {
      fail("a leave in the beef-up phase, which only has joins (" + who() + ")");
    }
    if (node == source(s)) {
      fail(who() + ", whose source it is: a source " +
           (join ? "is a member throughout" : "never leaves"));
    }
    MemberSet& set = members_[static_cast<std::size_t>(s)];
    if (join) {
      if (!set.insertIfAbsent(node)) fail(who() + " but is already a member");
      ++joins_;
    } else {
      if (!set.eraseIfPresent(node)) fail(who() + " but is not a member");
      ++leaves_;
    }
  }
  if (join) {
    push(JoinRecord{node, s, row.band, row.delay, static_cast<HOPS>(row.hops), row.time});
  } else {
    push(LeaveRecord{node, s, row.time});
  }
}

void RowTraceReader::takeSummary(const TraceRow& row) {
  if (stage_ == Stage::table) endTable();
  reachPhase(TracePhase::endOfSession);
  const TraceSummary& s = row.summary;
  if (timed_ && !row.hasBlocked) {
    fail(
        "the summary of a timed trace counts the blocked arrivals (\"blocked\"), and this one "
        "does not");
  }
  if (!timed_ && row.hasBlocked) {
    fail("the summary counts blocked arrivals, which only a timed trace has");
  }
  if (s.blocked < 0) fail("the summary counts " + std::to_string(s.blocked) + " blocked arrivals");
  if (fullRules_) {
    replay_.finish(s.trans, s.joins, s.leaves, lines_.number());
  } else {
    if (s.joins != joins_) {
      fail("the summary counts " + std::to_string(s.joins) + " joins but the trace holds " +
           std::to_string(joins_) + " join records");
    }
    if (s.leaves != leaves_) {
      fail("the summary counts " + std::to_string(s.leaves) + " leaves but the trace holds " +
           std::to_string(leaves_) + " leave records");
    }
    if (s.trans != joins_ + leaves_) {
      fail("the summary counts trans " + std::to_string(s.trans) +
           ", yet a timed run's counter is its joins plus leaves, " +
           std::to_string(joins_ + leaves_));
    }
  }
  const std::uint64_t summaryLine = lines_.number();
  std::string_view extra;
  if (lines_.next(extra)) fail("a line after the summary, which ends the trace");
  eventLine_ = summaryLine;
  push(s);
  stage_ = Stage::done;
}

void RowTraceReader::finishUnsummed() {
  if (stage_ == Stage::start) throw TraceError(1, "the trace is empty");
  if (stage_ == Stage::table) endTable();
  reachPhase(TracePhase::endOfSession);
  const Count joins = this->joins();
  const Count leaves = this->leaves();
  push(TraceSummary{joins + leaves, joins, leaves, 0});
  stage_ = Stage::done;
}

}  // namespace grouptrace
