#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "grouptrace/byte_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/types.h"

namespace grouptrace {

// A trace's requests as rows of one table, for array libraries: a run or a
// stored trace becomes a block of fixed-size rows that a consumer maps as it
// is (NumPy, through a dtype of explicit offsets), with no object per request.

enum class RequestKind : std::uint8_t { join = 1, leave = 2 };

// One request. The layout is what consumers map, so it is fixed: naturally
// aligned, 32 bytes, the widest fields first. A leave holds 0 in band, delay
// and hops; the spare bytes are always 0, so equal rows are equal bytes.
struct RequestRow {
  double band = 0;
  double delay = 0;
  NODEID node = 0;
  std::int32_t session = 0;
  HOPS hops = 0;
  std::uint8_t phase = 0;  // a TracePhase
  std::uint8_t kind = 0;   // a RequestKind
  std::uint8_t spare[2] = {0, 0};
};
static_assert(sizeof(RequestRow) == 32 && alignof(RequestRow) == 8);
static_assert(std::is_standard_layout_v<RequestRow> && std::is_trivially_copyable_v<RequestRow>);

// Rows in one contiguous block. A large block grows by remapping its pages
// rather than copying them: a table of a hundred million rows never exists
// twice, not even while it grows.
class RequestRows {
 public:
  RequestRows() = default;
  RequestRows(RequestRows&& other) noexcept;
  RequestRows& operator=(RequestRows&& other) noexcept;
  RequestRows(const RequestRows&) = delete;
  RequestRows& operator=(const RequestRows&) = delete;
  ~RequestRows();

  void push(const RequestRow& row) { append() = row; }
  // A new last row, for the caller to fill in whole.
  RequestRow& append() {
    if (size_ == capacity_) grow();
    return rows_[size_++];
  }
  // Throws std::bad_alloc when the block cannot have room for `rows`.
  void reserve(std::size_t rows);
  // Gives back what the table will not use.
  void shrinkToFit();

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const RequestRow* data() const { return rows_; }
  const RequestRow& operator[](std::size_t i) const { return rows_[i]; }

 private:
  void grow();
  void resize(std::size_t capacity);
  void place(void* block, std::size_t bytes, bool mapped);
  void release() noexcept;

  RequestRow* rows_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t bytes_ = 0;  // of the block, which may hold more than whole rows
  bool mapped_ = false;    // an mmap rather than a malloc block
};

// A whole trace: its header, session table, requests and summary.
struct TraceTable {
  TraceHeader header;
  std::vector<NODEID> sources;  // indexed by session
  RequestRows requests;
  // A timed trace's request times, one per row (the rows' layout is what
  // consumers map, so the times are held beside them); empty otherwise.
  std::vector<double> times;
  TraceSummary summary;
};

// Called between rows, once every kPollRows of them, while a long run or read
// fills a table: a caller that must be able to stop it (an interrupted
// interpreter) throws from here. Null when nothing needs to be checked.
struct PollHook {
  void (*call)(void* context) = nullptr;
  void* context = nullptr;
};
inline constexpr std::size_t kPollRows = std::size_t{1} << 20;

// A handler that fills a table with the events it receives.
class TraceTableBuilder final : public TraceHandler {
 public:
  explicit TraceTableBuilder(TraceTable& table, PollHook poll = {});
  void onHeader(const TraceHeader& header) override;
  void onSession(const SessionEntry& session) override;
  void onPhase(const PhaseStart& phase) override;
  void onJoin(const JoinRecord& join) override;
  void onLeave(const LeaveRecord& leave) override;
  void onSummary(const TraceSummary& summary) override;

 private:
  // Counts a row added, and calls the hook every kPollRows of them.
  void counted();

  TraceTable& table_;
  PollHook poll_;
  std::uint8_t phase_ = 0;
  std::size_t untilPoll_ = kPollRows;
};

// Runs the scenario into the table (emptied first). Throws as generate does,
// and what the hook throws.
RunResult generateTable(const Parameters& parameters, SEED_type seed, TraceTable& table,
                        PollHook poll = {});
RunResult generateTable(const RunConfig& config, TraceTable& table, PollHook poll = {});

// Reads a trace's requests a bounded number at a time, checking the trace as
// TraceReader does; the header and session table are taken as they come.
class TraceChunkReader {
 public:
  explicit TraceChunkReader(ByteSource& source,
                            std::size_t bufferSize = TraceReader::kDefaultBufferSize);

  // Appends up to `limit` further requests and returns how many. Fewer than
  // the limit (0 included) means the trace has ended soundly: its summary has
  // been read and checked, and done() is true. Throws TraceError at the first
  // faulty line, std::system_error when the source fails, and what the hook
  // throws; rows appended before a throw stay in `rows`. After a throw it
  // reads nothing more, and done() stays false: the trace never ended soundly.
  std::size_t read(RequestRows& rows, std::size_t limit, PollHook poll = {});

  bool done() const { return done_; }
  const TraceHeader& header() const { return header_; }
  const std::vector<NODEID>& sources() const { return sources_; }
  // Valid once done().
  const TraceSummary& summary() const { return summary_; }

 private:
  std::size_t readEvents(RequestRows& rows, std::size_t limit, PollHook poll);

  TraceReader reader_;
  TraceEvent event_;
  TraceHeader header_;
  std::vector<NODEID> sources_;
  TraceSummary summary_;
  std::uint8_t phase_ = 0;
  bool done_ = false;
  bool failed_ = false;
};

// Reads a whole trace into the table (emptied first); throws as
// TraceChunkReader::read does. `traceBytes`, the input's size when known,
// lets the table take room once for the most requests that many bytes can
// hold instead of growing as it fills.
void readTable(ByteSource& source, TraceTable& table, PollHook poll = {},
               std::uint64_t traceBytes = 0);

// The most request records a trace of that many bytes can hold.
std::size_t mostRequests(std::uint64_t traceBytes);

// Hands the table's events to the handler in trace order: the header, the
// session table, the three phases (each one's marker even when it has no
// request) and the summary. Writing them through makeTraceWriter gives the
// trace text back. Throws std::invalid_argument for rows no trace can hold: a
// phase out of order or unknown, or a kind other than join and leave.
void replayTable(const TraceTable& table, TraceHandler& handler);

}  // namespace grouptrace
