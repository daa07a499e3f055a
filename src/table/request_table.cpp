#include "table/request_table.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "formats/trace/trace_text_lines.h"
#include "generator/run_into.h"

namespace grouptrace {
namespace {

// The first block holds this many rows; a trace of a few requests stays small.
constexpr std::size_t kFirstRows = 1024;

// Blocks from this size on are mapped directly. They grow by moving pages
// rather than copying rows, and are backed by transparent huge pages where the
// system allows: filling a table of a hundred megabytes then takes a few dozen
// page faults instead of tens of thousands, which otherwise add a fifth to the
// time of reading a trace.
constexpr std::size_t kMapBytes = std::size_t{2} << 20;
// What a shrinking mapping gives back is rounded to the system's pages.
std::size_t pageBytes() {
  static const std::size_t bytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return bytes;
}

void* mapBlock(std::size_t bytes) {
  void* const block =
      ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  (void)::madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

// Rows are written field by field where they are stored, and each field is
// loaded as the reader stored it: a row put together on the stack and copied
// whole, or two fields loaded at once, waits on every store it spans.
void putJoin(RequestRow& row, const JoinRecord& join, std::uint8_t phase) {
  row.band = join.band;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  row.delay = join.delay;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  row.node = join.node;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  row.session = join.session;
  row.hops = join.hops;
  row.phase = phase;
  row.kind = static_cast<std::uint8_t>(RequestKind::join);
  row.spare[0] = row.spare[1] = 0;
}

void putLeave(RequestRow& row, const LeaveRecord& leave, std::uint8_t phase) {
  row.band = 0;
  row.delay = 0;
  row.node = leave.node;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  row.session = leave.session;
  row.hops = 0;
  row.phase = phase;
  row.kind = static_cast<std::uint8_t>(RequestKind::leave);
  row.spare[0] = row.spare[1] = 0;
}

// The fewest bytes a request record takes: one-digit node and session, and
// one-digit requirements (a leave's "0 : 0 : 0" is as long as the shortest join's).
constexpr std::size_t kShortestRecord =
    trace_format::kRecordHead.size() + 1 + trace_format::kSeparator.size() + 1 +
    trace_format::kLeaveRest.size() + trace_format::kRecordEnd.size();
static_assert(kShortestRecord == 45);

}  // namespace

RequestRows::RequestRows(RequestRows&& other) noexcept
    : rows_(std::exchange(other.rows_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      bytes_(std::exchange(other.bytes_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {
}

RequestRows& RequestRows::operator=(RequestRows&& other) noexcept {
  if (this != &other) {
    release();
    rows_ = std::exchange(other.rows_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    bytes_ = std::exchange(other.bytes_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

RequestRows::~RequestRows() {
  release();
}

void RequestRows::release() noexcept {
  if (mapped_) {
    ::munmap(rows_, bytes_);
  } else {
    std::free(rows_);
  }
  rows_ = nullptr;
  size_ = capacity_ = bytes_ = 0;
  mapped_ = false;
}

void RequestRows::place(void* block, std::size_t bytes, bool mapped) {
  rows_ = static_cast<RequestRow*>(block);
  bytes_ = bytes;
  capacity_ = bytes / sizeof(RequestRow);
  mapped_ = mapped;
}

void RequestRows::resize(std::size_t capacity) {
  if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(RequestRow) - kMapBytes) {
    throw std::bad_alloc();
  }
  const std::size_t bytes = capacity * sizeof(RequestRow);
  if (bytes < kMapBytes && !mapped_) {
    void* const block = std::realloc(rows_, bytes);
    if (block == nullptr) throw std::bad_alloc();
    place(block, bytes, false);
    return;
  }
  const std::size_t mappedBytes = (bytes + kMapBytes - 1) / kMapBytes * kMapBytes;
  if (mapped_) {
    void* const block = ::mremap(rows_, bytes_, mappedBytes, MREMAP_MAYMOVE);
    if (block == MAP_FAILED) throw std::bad_alloc();
    (void)::madvise(block, mappedBytes, MADV_HUGEPAGE);
    place(block, mappedBytes, true);
    return;
  }
  void* const block = mapBlock(mappedBytes);
  if (size_ > 0) std::memcpy(block, rows_, size_ * sizeof(RequestRow));
  std::free(rows_);
  place(block, mappedBytes, true);
}

void RequestRows::grow() {
  resize(capacity_ == 0 ? kFirstRows : capacity_ + capacity_ / 2);
}

void RequestRows::reserve(std::size_t rows) {
  if (rows > capacity_) resize(rows);
}

void RequestRows::shrinkToFit() {
  if (size_ == capacity_) return;
  if (size_ == 0) {
    release();
    return;
  }
  const std::size_t bytes = size_ * sizeof(RequestRow);
  // A failure to shrink leaves the larger block, which is still sound.
  if (mapped_) {
    const std::size_t page = pageBytes();
    const std::size_t mappedBytes = (bytes + page - 1) / page * page;
    if (mappedBytes < bytes_) {
      void* const block = ::mremap(rows_, bytes_, mappedBytes, 0);
      if (block != MAP_FAILED) place(block, mappedBytes, true);
    }
  } else if (void* const block = std::realloc(rows_, bytes)) {
    place(block, bytes, false);
  }
}

TraceTableBuilder::TraceTableBuilder(TraceTable& table, PollHook poll)
    : table_(table), poll_(poll) {
}

void TraceTableBuilder::onHeader(const TraceHeader& header) {
  table_.header = header;
}

void TraceTableBuilder::onSession(const SessionEntry& session) {
  table_.sources.push_back(session.source);
}

void TraceTableBuilder::onPhase(const PhaseStart& phase) {
  phase_ = static_cast<std::uint8_t>(phase.phase);
}

void TraceTableBuilder::onJoin(const JoinRecord& join) {
  putJoin(table_.requests.append(), join, phase_);
  if (join.time) table_.times.push_back(*join.time);
  counted();
}

void TraceTableBuilder::onLeave(const LeaveRecord& leave) {
  putLeave(table_.requests.append(), leave, phase_);
  if (leave.time) table_.times.push_back(*leave.time);
  counted();
}

void TraceTableBuilder::onSummary(const TraceSummary& summary) {
  table_.summary = summary;
  table_.requests.shrinkToFit();
}

void TraceTableBuilder::counted() {
  if (--untilPoll_ == 0) {
    untilPoll_ = kPollRows;
    if (poll_.call != nullptr) poll_.call(poll_.context);
  }
}

RunResult generateTable(const Parameters& parameters, SEED_type seed, TraceTable& table,
                        PollHook poll) {
  RunConfig config;
  config.parameters = parameters;
  config.seed = seed;
  return generateTable(config, table, poll);
}

RunResult generateTable(const RunConfig& config, TraceTable& table, PollHook poll) {
  table = TraceTable{};
  TraceTableBuilder builder(table, poll);
  // The run's own loops poll too: a start or a stretch of turned-away arrivals
  // adds no rows.
  const RunMonitor monitor{[](void* hook, const RunProgress&) {
                             const auto* p = static_cast<const PollHook*>(hook);
                             if (p->call != nullptr) p->call(p->context);
                           },
                           &poll};
  return generateWatched(config, builder, monitor);
}

TraceChunkReader::TraceChunkReader(ByteSource& source, std::size_t bufferSize)
    : reader_(source, bufferSize) {
}

std::size_t TraceChunkReader::read(RequestRows& rows, std::size_t limit, PollHook poll) {
  if (failed_) return 0;
  try {
    return readEvents(rows, limit, poll);
  } catch (...) {
    failed_ = true;
    throw;
  }
}

std::size_t TraceChunkReader::readEvents(RequestRows& rows, std::size_t limit, PollHook poll) {
  std::size_t added = 0;
  std::size_t untilPoll = kPollRows;
  // The events are taken apart by their index rather than visited: this loop
  // runs once per request of traces of hundreds of megabytes.
  while (added < limit && !done_) {
    if (!reader_.next(event_)) {
      done_ = true;
      break;
    }
    switch (event_.index()) {
      case 3:
        putJoin(rows.append(), *std::get_if<JoinRecord>(&event_), phase_);
        break;
      case 4:
        putLeave(rows.append(), *std::get_if<LeaveRecord>(&event_), phase_);
        break;
      case 2:
        phase_ = static_cast<std::uint8_t>(std::get_if<PhaseStart>(&event_)->phase);
        continue;
      case 1:
        sources_.push_back(std::get_if<SessionEntry>(&event_)->source);
        continue;
      case 0:
        header_ = *std::get_if<TraceHeader>(&event_);
        continue;
      default:
        // The summary only comes once the input has ended after it.
        summary_ = *std::get_if<TraceSummary>(&event_);
        done_ = true;
        continue;
    }
    ++added;
    if (--untilPoll == 0) {
      untilPoll = kPollRows;
      if (poll.call != nullptr) poll.call(poll.context);
    }
  }
  return added;
}

static_assert(std::is_same_v<std::variant_alternative_t<0, TraceEvent>, TraceHeader> &&
              std::is_same_v<std::variant_alternative_t<1, TraceEvent>, SessionEntry> &&
              std::is_same_v<std::variant_alternative_t<2, TraceEvent>, PhaseStart> &&
              std::is_same_v<std::variant_alternative_t<3, TraceEvent>, JoinRecord> &&
              std::is_same_v<std::variant_alternative_t<4, TraceEvent>, LeaveRecord> &&
              std::is_same_v<std::variant_alternative_t<5, TraceEvent>, TraceSummary>);

std::size_t mostRequests(std::uint64_t traceBytes) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(
      traceBytes / kShortestRecord, std::numeric_limits<std::size_t>::max() / 2));
}

void readTable(ByteSource& source, TraceTable& table, PollHook poll, std::uint64_t traceBytes) {
  table = TraceTable{};
  if (traceBytes > 0) {
    // Room that is never written is never backed by memory, and is given back.
    try {
      table.requests.reserve(mostRequests(traceBytes));
    } catch (const std::bad_alloc&) {
      // Then the table grows as it goes.
    }
  }
  TraceChunkReader reader(source);
  reader.read(table.requests, std::numeric_limits<std::size_t>::max(), poll);
  table.requests.shrinkToFit();
  table.header = reader.header();
  table.sources = reader.sources();
  table.summary = reader.summary();
}

void replayTable(const TraceTable& table, TraceHandler& handler) {
  const bool timed = !table.times.empty();
  if (timed && table.times.size() != table.requests.size()) {
    throw std::invalid_argument("a table with " + std::to_string(table.times.size()) +
                                " times for " + std::to_string(table.requests.size()) +
                                " requests");
  }
  handler.onHeader(table.header);
  for (std::size_t s = 0; s < table.sources.size(); ++s) {
    handler.onSession(SessionEntry{static_cast<std::int32_t>(s), table.sources[s]});
  }
  constexpr int kLastPhase = static_cast<int>(TracePhase::endOfSession);
  int phase = 0;
  handler.onPhase(PhaseStart{TracePhase::beefUp});
  for (std::size_t i = 0; i < table.requests.size(); ++i) {
    const RequestRow& row = table.requests[i];
    if (row.phase != phase) {
      if (row.phase < phase || row.phase > kLastPhase) {
        throw std::invalid_argument("request " + std::to_string(i) + " has phase " +
                                    std::to_string(row.phase) + " after phase " +
                                    std::to_string(phase) + ": phases run 0, 1, 2 in order");
      }
      while (phase < row.phase) handler.onPhase(PhaseStart{static_cast<TracePhase>(++phase)});
    }
    const std::optional<double> time = timed ? std::optional<double>(table.times[i]) : std::nullopt;
    if (row.kind == static_cast<std::uint8_t>(RequestKind::join)) {
      handler.onJoin(JoinRecord{row.node, row.session, row.band, row.delay, row.hops, time});
    } else if (row.kind == static_cast<std::uint8_t>(RequestKind::leave)) {
      handler.onLeave(LeaveRecord{row.node, row.session, time});
    } else {
      throw std::invalid_argument("request " + std::to_string(i) + " has kind " +
                                  std::to_string(row.kind) + ", neither 1 (join) nor 2 (leave)");
    }
  }
  while (phase < kLastPhase) handler.onPhase(PhaseStart{static_cast<TracePhase>(++phase)});
  handler.onSummary(table.summary);
}

}  // namespace grouptrace
