#include "grouptrace/trace_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "common/message_text.h"
#include "common/number_text.h"
#include "formats/trace/trace_text_lines.h"
#include "grouptrace/trace_error.h"
#include "reader/line_source.h"
#include "reader/trace_replay.h"
#include "reader/trace_text.h"

namespace grouptrace {
namespace {

using namespace trace_format;

constexpr std::string_view kMarkerNames[] = {"beef-up", "join-leave", "end-of-session"};

// A network has at most 2^31 - 1 nodes, the largest count a parameter stream gives.
constexpr std::int64_t kLargestNode = kInt32Max - 1;
constexpr std::string_view kNodeRange =
    " (0 to 2147483646: a network has at most 2147483647 nodes)";

// Which marker the line is, or -1.
int markerIndex(std::string_view text) {
  for (int i = 0; i < 3; ++i) {
    if (text == kMarkers[i]) return i;
  }
  return -1;
}

// Splits "a : b : c" into at most `room` fields; returns how many there were,
// or room + 1 when there were more.
std::size_t splitFields(std::string_view text, std::string_view* fields, std::size_t room) {
  std::size_t n = 0;
  for (;;) {
    const std::size_t at = text.find(kSeparator);
    if (n == room) return room + 1;
    fields[n++] = text.substr(0, at);
    if (at == std::string_view::npos) return n;
    text.remove_prefix(at + kSeparator.size());
  }
}

// Reads a decimal of at most 10 digits at p, advancing p; false when there
// is no digit, too many, or a leading zero. The range is the caller's.
inline bool scanDigits(const char*& p, const char* end, std::int64_t& value) {
  const char* const start = p;
  std::int64_t v = 0;
  while (p != end && static_cast<unsigned>(*p - '0') < 10) {
    v = v * 10 + (*p - '0');
    if (++p - start > 10) return false;
  }
  value = v;
  // A leading zero is only the number 0 itself.
  return p != start && (*start != '0' || p - start == 1);
}

inline bool scanSigned(const char*& p, const char* end, std::int64_t& value) {
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  if (!scanDigits(p, end, value)) return false;
  if (negative) {
    if (value == 0) return false;
    value = -value;
  }
  return true;
}

inline bool skipText(const char*& p, const char* end, std::string_view text) {
  if (static_cast<std::size_t>(end - p) < text.size() || std::string_view(p, text.size()) != text) {
    return false;
  }
  p += text.size();
  return true;
}

// Scans a record where the buffer may end anywhere, a byte at a time.
class BoundedScan {
 public:
  BoundedScan(const char* p, const char* end) : p_(p), end_(end) {}
  const char* at() const { return p_; }
  bool digits(std::int64_t& value) { return scanDigits(p_, end_, value); }
  bool signedNumber(std::int64_t& value) { return scanSigned(p_, end_, value); }
  template <const std::string_view& kText>
  bool text() {
    return skipText(p_, end_, kText);
  }

 private:
  const char* p_;
  const char* end_;
};

// Scans a record where at least kRoom bytes lie ahead of its start: more than the longest record
// it accepts (85 bytes) and the word it may read past fixed text, which it then compares a word at
// a time against constants, with no length to check. Numbers are still read a digit at a time:
// converting a word of digits at once measured slower, as each number's length then holds up the
// next. Words are taken as a little-endian machine loads them.
class WordScan {
 public:
  static constexpr std::size_t kRoom = 128;
  static constexpr bool kUsable = std::endian::native == std::endian::little;

  explicit WordScan(const char* p) : p_(p) {}
  const char* at() const { return p_; }
  // At most 11 digits are looked at, so the end of the room is never in reach; the fixed count
  // lets the loop unroll.
  bool digits(std::int64_t& value) {
    std::int64_t v = 0;
    int length = 0;
    for (; length < 11; ++length) {
      const unsigned digit = static_cast<unsigned char>(p_[length]) - unsigned{'0'};
      if (digit > 9) break;
      v = v * 10 + digit;
    }
    // A leading zero is only the number 0 itself.
    if (length == 0 || length > 10 || (length > 1 && *p_ == '0')) return false;
    p_ += length;
    value = v;
    return true;
  }
  // As scanSigned() does it, kept inline: joins read three of these.
  bool signedNumber(std::int64_t& value) {
    const bool negative = *p_ == '-';
    p_ += negative ? 1 : 0;
    if (!digits(value)) return false;
    if (negative) {
      if (value == 0) return false;
      value = -value;
    }
    return true;
  }

  template <const std::string_view& kText>
  bool text() {
    constexpr std::size_t n = kText.size();
    static_assert(n > 0 && n <= 32);
    std::uint64_t differ = 0;
    if constexpr (n < 8) {
      constexpr std::uint64_t kMask = (std::uint64_t{1} << (8 * n)) - 1;
      constexpr std::uint64_t kWord = wordOf(kText, 0);
      differ = (load(p_) & kMask) ^ kWord;
    } else {
      // Whole words, the last one ending with the text (overlapping the one before it), made
      // into constants when this compiles.
      constexpr std::size_t kCount = (n + 7) / 8;
      constexpr std::array<std::size_t, kCount> kAt = [] {
        std::array<std::size_t, kCount> at{};
        for (std::size_t i = 0; i < kCount; ++i) at[i] = std::min(8 * i, n - 8);
        return at;
      }();
      constexpr std::array<std::uint64_t, kCount> kWords = [&] {
        std::array<std::uint64_t, kCount> words{};
        for (std::size_t i = 0; i < kCount; ++i) words[i] = wordOf(kText, kAt[i]);
        return words;
      }();
      for (std::size_t i = 0; i < kCount; ++i) differ |= load(p_ + kAt[i]) ^ kWords[i];
    }
    if (differ != 0) return false;
    p_ += n;
    return true;
  }

 private:
  static std::uint64_t load(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
  // Up to eight bytes of text from `at`, as load() would give them.
  static constexpr std::uint64_t wordOf(std::string_view text, std::size_t at) {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < 8 && at + i < text.size(); ++i) {
      w |= std::uint64_t{static_cast<unsigned char>(text[at + i])} << (8 * i);
    }
    return w;
  }

  const char* p_;
};

// A request record as the in-place path reads it.
struct RecordFields {
  std::int64_t node = 0;
  std::int64_t session = 0;
  bool join = false;
  std::int64_t band = 0;
  std::int64_t delay = 0;
  std::int64_t hops = 0;
};

// The usual form of a record, from its opening line through its closing brace; false for
// anything else, which the line-by-line path then reads and words.
template <class Scan>
bool scanRecord(Scan& scan, std::int32_t sessions, RecordFields& f) {
  if (!scan.template text<kRecordHead>() || !scan.digits(f.node) || f.node > kLargestNode ||
      !scan.template text<kSeparator>() || !scan.digits(f.session) || f.session >= sessions) {
    return false;
  }
  f.join = scan.template text<kJoinType>();
  if (f.join) {
    // Six digits at most: a million and more is written with an exponent.
    if (!scan.signedNumber(f.band) || f.band <= -1000000 || f.band >= 1000000 ||
        !scan.template text<kSeparator>() || !scan.signedNumber(f.delay) || f.delay <= -1000000 ||
        f.delay >= 1000000 || !scan.template text<kSeparator>() || !scan.signedNumber(f.hops) ||
        f.hops < kInt32Min || f.hops > kInt32Max) {
      return false;
    }
  } else if (!scan.template text<kLeaveRest>()) {
    return false;
  }
  return scan.template text<kRecordEnd>();
}

}  // namespace

class TraceReader::Impl {
 public:
  Impl(ByteSource& source, std::size_t bufferSize) : lines_(source, bufferSize) {}

  bool next(TraceEvent& event);
  std::optional<TracePhase> phase() const;

  std::uint64_t eventLine_ = 0;
  TraceHeader header_;
  TraceReplay replay_;

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

  bool readEvent(TraceEvent& event);
  // The next line, or a TraceError saying the trace ends before `expected`.
  std::string_view need(std::string_view expected);
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
  void readSummary(std::string_view text, TraceEvent& event);
  std::int32_t sessionIndex(std::int64_t value, std::string_view role);
  std::int32_t sessionCount() const { return replay_.sessionCount(); }

  // Groups of many thousands keep their members in trees larger than the caches, where each
  // record waits for every level of its descent in turn. The records ahead are in the buffer, so
  // their descents are made a level per record ahead of them, and the waits overlap.
  void lookAhead();
  static constexpr int kAhead = 4;  // a power of two: the ring is indexed by masking
  // Levels descended one record at a time; the levels above stay in the caches.
  static constexpr int kStepLevels = 2;
  // Members in all, past which the trees outgrow a core's cache, at a few bytes a member.
  static constexpr std::size_t kAheadMembers = std::size_t{1} << 17;
  struct Ahead {
    std::uint64_t at;  // the record's offset in the input
    // The record as scanned, which its reading takes instead of scanning the same bytes again.
    RecordFields fields;
    std::size_t length;
    MemberSet::PathAhead path;
  };
  Ahead ahead_[kAhead];
  int aheadFirst_ = 0;
  int aheadCount_ = 0;
  std::uint64_t aheadNext_ = 0;  // the offset of the next record to look at

  LineSource lines_;
  Stage stage_ = Stage::title;
};

TraceReader::TraceReader(ByteSource& source, std::size_t bufferSize)
    : impl_(std::make_unique<Impl>(source, bufferSize)) {
}
TraceReader::TraceReader(TraceReader&& other) noexcept = default;
TraceReader& TraceReader::operator=(TraceReader&& other) noexcept = default;
TraceReader::~TraceReader() = default;

bool TraceReader::next(TraceEvent& event) {
  return impl_->next(event);
}
std::uint64_t TraceReader::line() const {
  return impl_->eventLine_;
}
const TraceHeader& TraceReader::header() const {
  return impl_->header_;
}
std::int32_t TraceReader::sessionCount() const {
  return impl_->replay_.sessionCount();
}
NODEID TraceReader::source(std::int32_t session) const {
  return impl_->replay_.source(session);
}
Count TraceReader::groupSize(std::int32_t session) const {
  return impl_->replay_.groupSize(session);
}
bool TraceReader::isMember(std::int32_t session, NODEID node) const {
  return impl_->replay_.isMember(session, node);
}
std::optional<TracePhase> TraceReader::phase() const {
  return impl_->phase();
}
Count TraceReader::joins() const {
  return impl_->replay_.joins();
}
Count TraceReader::leaves() const {
  return impl_->replay_.leaves();
}
std::size_t TraceReader::joinedMembers() const {
  return impl_->replay_.joinedMembers();
}

std::optional<TracePhase> TraceReader::Impl::phase() const {
  switch (stage_) {
    case Stage::beefUp:
      return TracePhase::beefUp;
    case Stage::joinLeave:
      return TracePhase::joinLeave;
    case Stage::endOfSession:
    case Stage::done:
      return TracePhase::endOfSession;
    default:
      return std::nullopt;
  }
}

void TraceReader::Impl::failAt(std::uint64_t line, const std::string& reason) {
  throw TraceError(line, reason);
}

void TraceReader::Impl::fail(const std::string& reason) {
  failAt(lines_.number(), reason);
}

void TraceReader::Impl::expected(std::string_view what, std::string_view found) {
  std::string reason = "expected " + std::string(what) + ", found " + quotedText(found);
  if (!found.empty() && found.back() == '\r') {
    reason += " (a carriage return ends the line; trace lines end with a bare newline)";
  }
  fail(reason);
}

std::string_view TraceReader::Impl::need(std::string_view expectedText) {
  std::string_view text;
  if (!lines_.next(text)) {
    failAt(lines_.number() + 1,
           "the trace ends here, before " + std::string(expectedText) + ": it is truncated");
  }
  if (lines_.unterminated()) {
    fail("the trace ends inside this line, which has no newline: it is truncated");
  }
  return text;
}

std::int32_t TraceReader::Impl::sessionIndex(std::int64_t value, std::string_view role) {
  if (value < 0 || value >= sessionCount()) {
    fail(std::string(role) + " " + std::to_string(value) +
         " is not in the session table (sessions 0 to " + std::to_string(sessionCount() - 1) + ")");
  }
  return static_cast<std::int32_t>(value);
}

bool TraceReader::Impl::next(TraceEvent& event) {
  try {
    return readEvent(event);
  } catch (const TraceError&) {
    // Nothing after a faulty line can be trusted, nor the place reading stopped.
    stage_ = Stage::done;
    throw;
  }
}

bool TraceReader::Impl::readEvent(TraceEvent& event) {
  for (;;) {
    switch (stage_) {
      case Stage::title: {
        const std::string_view text = need("the header");
        if (text != kTitle) expected(quotedText(kTitle) + " (the trace's first line)", text);
        stage_ = Stage::columns;
        break;
      }
      case Stage::columns: {
        const std::string_view text = need("the header's column line");
        if (text != kColumns) expected("the column line " + quotedText(kColumns), text);
        stage_ = Stage::averageSize;
        break;
      }
      case Stage::averageSize: {
        const std::string_view text = need("the average group size");
        if (!text.starts_with(kAverageSize)) {
          expected(quotedText(std::string(kAverageSize) + "<size>"), text);
        }
        const auto value = parseInteger(text.substr(kAverageSize.size()), IntegerForm::canonical);
        if (!value || *value < kInt32Min || *value > kInt32Max) {
          fail("the average group size " + quotedText(text.substr(kAverageSize.size())) +
               " is not a 32-bit integer");
        }
        header_.avgSize = static_cast<std::int32_t>(*value);
        stage_ = Stage::ordered;
        break;
      }
      case Stage::ordered: {
        const std::string_view text = need("the ordered flag");
        if (!text.starts_with(kOrdered))
          expected(quotedText(std::string(kOrdered) + "<flag>"), text);
        const auto value = parseInteger(text.substr(kOrdered.size()), IntegerForm::canonical);
        if (!value || *value < kInt32Min || *value > kInt32Max) {
          fail("the ordered flag " + quotedText(text.substr(kOrdered.size())) +
               " is not a 32-bit integer");
        }
        header_.orderedJoinLeave = static_cast<std::int32_t>(*value);
        replay_.setHeader(header_);
        stage_ = Stage::tableOpen;
        eventLine_ = lines_.number();
        event = header_;
        return true;
      }
      case Stage::tableOpen: {
        const std::string_view text = need("the session table");
        if (text != kTableOpen)
          expected("the session table's opening " + quotedText(kTableOpen), text);
        stage_ = Stage::table;
        break;
      }
      case Stage::table: {
        const std::string_view text = need("the end of the session table");
        if (text == kTableClose) {
          if (sessionCount() == 0) {
            fail("the session table is empty: a trace has at least one session");
          }
          readGroupBlocks();
          const std::string_view marker = need("the beef-up marker");
          if (marker != kMarkers[0]) {
            if (marker == kBlockOpen) {
              fail("expected the beef-up marker " + quotedText(kMarkers[0]) + ", found " +
                   quotedText(marker) + ": a group block beyond the " +
                   std::to_string(sessionCount()) +
                   " sessions of the table, or a record before the marker");
            }
            expected("the beef-up marker " + quotedText(kMarkers[0]), marker);
          }
          startPhase(Stage::beefUp, TracePhase::beefUp, event);
          return true;
        }
        std::string_view fields[2];
        if (!text.starts_with(kTableEntry) ||
            splitFields(text.substr(kTableEntry.size()), fields, 2) != 2) {
          expected("a session line \"S : <session> : <source>\" or the table's end " +
                       quotedText(kTableClose),
                   text);
        }
        const auto session = parseInteger(fields[0], IntegerForm::canonical);
        const auto source = parseInteger(fields[1], IntegerForm::canonical);
        if (!session) fail("the session " + quotedText(fields[0]) + " is not a whole number");
        if (*session != sessionCount()) {
          fail("session " + std::to_string(*session) + " in the table where session " +
               std::to_string(sessionCount()) + " comes next (sessions are listed from 0 up)");
        }
        if (!source || *source < 0 || *source > kLargestNode) {
          fail("the source " + quotedText(fields[1]) + " is not a node" + std::string(kNodeRange));
        }
        if (sessionCount() == kInt32Max) fail("more sessions than a 32-bit index can number");
        replay_.addSession(static_cast<NODEID>(*source), lines_.number());
        eventLine_ = lines_.number();
        event = SessionEntry{static_cast<std::int32_t>(*session), static_cast<NODEID>(*source)};
        return true;
      }
      case Stage::beefUp:
      case Stage::joinLeave:
      case Stage::endOfSession: {
        if (readRecordInPlace(event)) return true;
        std::string_view text;
        if (!lines_.next(text)) {
          failAt(lines_.number() + 1,
                 "the trace ends here, before its summary line: it is truncated");
        }
        if (lines_.unterminated()) {
          fail("the trace ends inside this line, which has no newline: it is truncated");
        }
        if (readBody(text, event)) return true;
        break;
      }
      case Stage::done:
        return false;
    }
  }
}

void TraceReader::Impl::readGroupBlocks() {
  const std::int32_t n = sessionCount();
  for (std::int32_t i = 0; i < n; ++i) {
    const std::string_view open = need("the sessions' group blocks");
    if (open != kBlockOpen) {
      if (open == kMarkers[0]) {
        fail("the beef-up marker after " + std::to_string(i) + " of the " + std::to_string(n) +
             " group blocks (one per session)");
      }
      expected("the group block of session " + std::to_string(i) + " " + quotedText(kBlockOpen),
               open);
    }
    const std::string wanted = std::string(kBlockIndex) + std::to_string(i);
    const std::string_view index = need("the group block's index line");
    if (index != wanted) expected(quotedText(wanted), index);
    const std::string_view close = need("the group block's closing brace");
    if (close != kBlockClose) expected(quotedText(kBlockClose), close);
  }
}

void TraceReader::Impl::startPhase(Stage stage, TracePhase phase, TraceEvent& event) {
  stage_ = stage;
  eventLine_ = lines_.number();
  event = PhaseStart{phase};
}

bool TraceReader::Impl::readBody(std::string_view text, TraceEvent& event) {
  if (text == kBlockOpen) {
    readRecord(event);
    return true;
  }
  const int current = static_cast<int>(stage_) - static_cast<int>(Stage::beefUp);
  if (text.starts_with(kSummary)) {
    if (current < 2) {
      fail("the summary line comes before the " + std::string(kMarkerNames[current + 1]) +
           " marker");
    }
    readSummary(text, event);
    return true;
  }
  const int marker = markerIndex(text);
  if (marker < 0) {
    expected(
        "a request record " + quotedText(kBlockOpen) + ", the next phase marker or the summary",
        text);
  }
  if (marker == current) fail("a second " + std::string(kMarkerNames[marker]) + " marker");
  if (marker < current) {
    fail("the " + std::string(kMarkerNames[marker]) + " marker after the " +
         std::string(kMarkerNames[current]) + " marker");
  }
  if (marker > current + 1) {
    fail("the " + std::string(kMarkerNames[marker]) + " marker comes before the " +
         std::string(kMarkerNames[current + 1]) + " marker");
  }
  replay_.startPhase(marker == 1 ? TracePhase::joinLeave : TracePhase::endOfSession,
                     lines_.number());
  if (marker == 1) {
    startPhase(Stage::joinLeave, TracePhase::joinLeave, event);
  } else {
    startPhase(Stage::endOfSession, TracePhase::endOfSession, event);
  }
  return true;
}

void TraceReader::Impl::readRecord(TraceEvent& event) {
  const std::string_view index = need("the request record's \"I : 0 \" line");
  if (index != kRecordIndex) {
    if (index == kRecordIndex.substr(0, kRecordIndex.size() - 1)) {
      fail("the record's index line lacks the blank that ends \"I : 0 \"");
    }
    expected("the record's index line " + quotedText(kRecordIndex), index);
  }
  const std::string_view text = need("the request line");
  const std::uint64_t requestLine = lines_.number();
  if (!text.starts_with(kRequest)) {
    expected("the request line \"U : node : session : type : band : delay : hops\"", text);
  }
  std::string_view f[6];
  const std::size_t count = splitFields(text.substr(kRequest.size()), f, 6);
  if (count != 6) {
    fail("the request line has " +
         (count > 6 ? std::string("more than 6") : std::to_string(count)) +
         " fields; it has 6: node : session : type : band : delay : hops");
  }
  const auto node = parseInteger(f[0], IntegerForm::canonical);
  if (!node || *node < 0 || *node > kLargestNode) {
    fail("the node " + quotedText(f[0]) + " is not a node" + std::string(kNodeRange));
  }
  const auto session = parseInteger(f[1], IntegerForm::canonical);
  if (!session) fail("the session " + quotedText(f[1]) + " is not a whole number");
  const std::int32_t s = sessionIndex(*session, "session");
  const std::string_view type = f[2];
  if (type == "1") {
    JoinRecord join{static_cast<NODEID>(*node), s, 0, 0, 0, std::nullopt};
    const auto band = trace_text::parseWholeReal(f[3]);
    if (!band)
      fail("the band " + quotedText(f[3]) + " is not a whole number as the trace writes it");
    const auto delay = trace_text::parseWholeReal(f[4]);
    if (!delay)
      fail("the delay " + quotedText(f[4]) + " is not a whole number as the trace writes it");
    const auto hops = parseInteger(f[5], IntegerForm::canonical);
    if (!hops || *hops < kInt32Min || *hops > kInt32Max) {
      fail("the hop count " + quotedText(f[5]) + " is not a 32-bit integer");
    }
    join.band = *band;
    join.delay = *delay;
    join.hops = static_cast<HOPS>(*hops);
    replay_.join(join.node, s, requestLine);
    event = join;
  } else if (type == "2") {
    if (f[3] != "0" || f[4] != "0" || f[5] != "0") {
      fail("a leave record carries band, delay and hops \"0 : 0 : 0\", found " +
           quotedText(std::string(f[3]) + " : " + std::string(f[4]) + " : " + std::string(f[5])));
    }
    const LeaveRecord leave{static_cast<NODEID>(*node), s, std::nullopt};
    replay_.leave(leave.node, s, requestLine);
    event = leave;
  } else {
    fail("the request type " + quotedText(type) + " is neither 1 (join) nor 2 (leave)");
  }
  const std::string_view close = need("the request record's closing brace");
  if (close != kBlockClose) expected("the record's closing " + quotedText(kBlockClose), close);
  eventLine_ = requestLine;
}

bool TraceReader::Impl::readRecordInPlace(TraceEvent& event) {
  const std::string_view rest = lines_.buffered();
  RecordFields f;
  std::size_t length;
  if (aheadCount_ > 0 && ahead_[aheadFirst_].at == lines_.position()) {
    f = ahead_[aheadFirst_].fields;
    length = ahead_[aheadFirst_].length;
  } else if (WordScan::kUsable && rest.size() >= WordScan::kRoom) {
    WordScan scan(rest.data());
    if (!scanRecord(scan, sessionCount(), f)) return false;
    length = static_cast<std::size_t>(scan.at() - rest.data());
  } else {
    BoundedScan scan(rest.data(), rest.data() + rest.size());
    if (!scanRecord(scan, sessionCount(), f)) return false;
    length = static_cast<std::size_t>(scan.at() - rest.data());
  }

  // Up to the request line for any refusal to name it, then past the brace.
  const std::size_t requestEnd = length - 2;
  lines_.skip(requestEnd, 3);
  const std::uint64_t requestLine = lines_.number();
  const auto s = static_cast<std::int32_t>(f.session);
  const auto node = static_cast<NODEID>(f.node);
  if (f.join) {
    const JoinRecord record{node,
                            s,
                            static_cast<double>(f.band),
                            static_cast<double>(f.delay),
                            static_cast<HOPS>(f.hops),
                            std::nullopt};
    replay_.join(record.node, s, requestLine);
    event = record;
  } else {
    const LeaveRecord record{node, s, std::nullopt};
    replay_.leave(record.node, s, requestLine);
    event = record;
  }
  lines_.skip(2, 1);
  eventLine_ = requestLine;
  const bool ahead = replay_.joinedMembers() > kAheadMembers;
  if (ahead) lookAhead();
  replay_.fetchPathsAhead(ahead);
  return true;
}

void TraceReader::Impl::lookAhead() {
  const std::uint64_t at = lines_.position();
  // Records already read leave the queue; one that is not where the queue has it (a marker came
  // between) starts it afresh.
  while (aheadCount_ > 0 && ahead_[aheadFirst_].at < at) {
    aheadFirst_ = (aheadFirst_ + 1) & (kAhead - 1);
    --aheadCount_;
  }
  if (aheadCount_ == 0 || aheadNext_ < at) {
    aheadCount_ = 0;
    aheadNext_ = at;
  }
  for (int i = 0; i < aheadCount_; ++i) {
    Ahead& a = ahead_[(aheadFirst_ + i) & (kAhead - 1)];
    replay_.stepPath(static_cast<std::int32_t>(a.fields.session), a.path);
  }
  const std::string_view rest = lines_.buffered();
  while (aheadCount_ < kAhead) {
    const auto offset = static_cast<std::size_t>(aheadNext_ - at);
    if (!WordScan::kUsable || rest.size() < offset + WordScan::kRoom) return;
    WordScan scan(rest.data() + offset);
    Ahead& a = ahead_[(aheadFirst_ + aheadCount_) & (kAhead - 1)];
    // Anything but a record in the usual form waits for the reading to pass it.
    if (!scanRecord(scan, sessionCount(), a.fields)) return;
    a.at = aheadNext_;
    a.length = static_cast<std::size_t>(scan.at() - (rest.data() + offset));
    replay_.startPath(static_cast<std::int32_t>(a.fields.session),
                      static_cast<NODEID>(a.fields.node), a.path, kStepLevels);
    aheadNext_ += a.length;
    ++aheadCount_;
  }
}

void TraceReader::Impl::readSummary(std::string_view text, TraceEvent& event) {
  const std::string_view form = "the summary \" // Trans: <count> J: <joins> R: <leaves>\"";
  std::string_view rest = text.substr(kSummary.size());
  const std::size_t j = rest.find(kSummaryJoins);
  const std::size_t r = rest.find(kSummaryLeaves);
  if (j == std::string_view::npos || r == std::string_view::npos || r < j) expected(form, text);
  const auto trans = parseInteger(rest.substr(0, j), IntegerForm::canonical);
  const auto joins = parseInteger(
      rest.substr(j + kSummaryJoins.size(), r - j - kSummaryJoins.size()), IntegerForm::canonical);
  const auto leaves = parseInteger(rest.substr(r + kSummaryLeaves.size()), IntegerForm::canonical);
  if (!trans || !joins || !leaves) expected(form, text);
  const std::uint64_t summaryLine = lines_.number();
  replay_.finish(*trans, *joins, *leaves, summaryLine);
  std::string_view extra;
  if (lines_.next(extra)) fail("text after the summary line, which ends the trace");
  stage_ = Stage::done;
  eventLine_ = summaryLine;
  event = TraceSummary{*trans, *joins, *leaves, 0};
}

}  // namespace grouptrace
