#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "form_reader.h"
#include "grouptrace/byte_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_event.h"
#include "line_source.h"
#include "member_set/member_set.h"
#include "trace_replay.h"

namespace grouptrace {

// One line of a CSV or JSON Lines trace, taken apart but not yet judged
// against what came before it.
struct TraceRow {
  enum class Kind : std::uint8_t { header, source, join, leave, summary };
  Kind kind = Kind::header;
  std::optional<double> time;
  TracePhase phase = TracePhase::beefUp;  // requests only
  std::int64_t node = 0;
  std::int64_t session = 0;
  double band = 0;
  double delay = 0;
  std::int64_t hops = 0;
  TraceHeader header;       // header only
  bool timed = false;       // header only: it names the timed model
  TraceSummary summary;     // summary only
  bool hasBlocked = false;  // summary only
};

// Takes the lines of one row format apart; throws TraceError naming `line`
// for anything that is not one of the format's rows.
class RowParser {
 public:
  virtual ~RowParser() = default;
  // The first line: a row of kind header, `timed` saying whether the
  // requests carry times.
  virtual TraceRow header(std::string_view text, std::uint64_t line) = 0;
  virtual TraceRow row(std::string_view text, std::uint64_t line) = 0;
};

// Reads a trace written a row per line (CSV, JSON Lines) into the events
// TraceReader hands out, its format's row of the table saying what the rows
// record. The rows carry their phase, so the phase markers are implied: each
// is handed out when the first row past it comes (or the end), so that every
// phase appears, in order, whether or not it has requests.
class RowTraceReader final : public FormReader {
 public:
  RowTraceReader(ByteSource& source, std::size_t bufferSize, TraceFormat format,
                 std::unique_ptr<RowParser> parser);

  bool next(TraceEvent& event) override;

  bool timed() const override { return timed_; }
  std::uint64_t line() const override { return eventLine_; }
  const TraceHeader& header() const override { return header_; }
  std::int32_t sessionCount() const override { return static_cast<std::int32_t>(sources_.size()); }
  NODEID source(std::int32_t session) const override {
    return sources_[static_cast<std::size_t>(session)];
  }
  Count groupSize(std::int32_t session) const override;
  bool isMember(std::int32_t session, NODEID node) const override;
  std::optional<TracePhase> phase() const override { return shownPhase_; }
  Count joins() const override { return fullRules_ ? replay_.joins() : joins_; }
  Count leaves() const override { return fullRules_ ? replay_.leaves() : leaves_; }

 private:
  enum class Stage : std::uint8_t { start, table, body, done };

  // Queues the events of the next row, or of the end of the input.
  void readRow();
  void readHeaderRow(std::string_view text);
  void takeSource(const TraceRow& row);
  void takeRequest(const TraceRow& row);
  void takeSummary(const TraceRow& row);
  // The summary of a format that writes none: the records' counts.
  void finishUnsummed();
  // Queues the PhaseStart of every phase up to and including `phase`.
  void reachPhase(TracePhase phase);
  void endTable();
  void checkTime(const TraceRow& row);
  [[noreturn]] void fail(const std::string& reason) const;
  void push(const TraceEvent& event) { queue_[queued_++] = event; }

  LineSource lines_;
  std::unique_ptr<RowParser> parser_;
  // Whether the format writes a summary row and the header's values.
  bool summed_;
  bool headerValues_;
  Stage stage_ = Stage::start;
  bool timed_ = false;
  // A classic trace with the header values the text reader's replay needs is
  // held to the same rules; other traces to the membership rules alone.
  bool fullRules_ = false;
  TraceReplay replay_;
  std::vector<MemberSet> members_;
  std::vector<NODEID> sources_;
  Count joins_ = 0;
  Count leaves_ = 0;

  TraceHeader header_;
  // The phase of the rows read, and that of the events handed out, which
  // trails it while a row's implied markers are queued.
  std::optional<TracePhase> phase_;
  std::optional<TracePhase> shownPhase_;
  double lastTime_ = 0;
  std::uint64_t lastTimeLine_ = 0;
  std::uint64_t eventLine_ = 0;

  // The events of one row: at most three implied markers and the row's own.
  std::array<TraceEvent, 4> queue_;
  std::size_t queued_ = 0;
  std::size_t taken_ = 0;
};

}  // namespace grouptrace
