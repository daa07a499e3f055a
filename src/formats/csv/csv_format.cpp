#include "formats/csv/csv_format.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "common/message_text.h"
#include "common/number_text.h"
#include "formats/csv/csv_writer.h"
#include "formats/format_writer.h"
#include "grouptrace/trace_error.h"
#include "reader/row_trace_reader.h"

namespace grouptrace::csv_form {
namespace {

constexpr std::string_view kClassicColumns = "phase,kind,node,session,band,delay,hops";
constexpr std::string_view kTimedColumns = "time,phase,kind,node,session,band,delay,hops";
constexpr std::int64_t kLargestNode = kInt32Max - 1;

std::optional<TracePhase> phaseNamed(std::string_view name) {
  for (int i = 0; i < 3; ++i) {
    if (phaseName(static_cast<TracePhase>(i)) == name) return static_cast<TracePhase>(i);
  }
  return std::nullopt;
}

// A finite number in any form from_chars reads: the writer gives the shortest
// text that reads back as the same double, and whole numbers in plain digits.
std::optional<double> finiteReal(std::string_view text) {
  const auto value = parseReal(text);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

[[noreturn]] void fail(std::uint64_t line, const std::string& reason) {
  throw TraceError(line, reason);
}

// The header row says whether a time column leads every row.
class CsvRowParser final : public RowParser {
 public:
  TraceRow header(std::string_view text, std::uint64_t line) override {
    TraceRow parsed;
    if (text == kClassicColumns) {
      timed_ = false;
    } else if (text == kTimedColumns) {
      timed_ = true;
      // The CSV form does not record how long the run was; callers since 1.0
      // read that as +infinity.
      parsed.header.duration = std::numeric_limits<double>::infinity();
    } else {
      fail(line, "expected the CSV header row " + quotedText(kClassicColumns) + " or " +
                     quotedText(kTimedColumns) + ", found " + quotedText(text));
    }
    parsed.timed = timed_;
    return parsed;
  }

  TraceRow row(std::string_view text, std::uint64_t line) override {
    std::string_view f[9];
    std::size_t n = 0;
    for (;;) {
      const std::size_t comma = text.find(',');
      if (n == 9) break;
      f[n++] = text.substr(0, comma);
      if (comma == std::string_view::npos) break;
      text.remove_prefix(comma + 1);
    }
    const std::size_t want = timed_ ? 8 : 7;
    if (n != want) {
      fail(line, "the row has " +
                     (n > want ? "more than " + std::to_string(want) : std::to_string(n)) +
                     " fields; it has " + std::to_string(want) + ": " +
                     std::string(timed_ ? kTimedColumns : kClassicColumns));
    }
    TraceRow parsed;
    const std::string_view* c = f;
    if (timed_) {
      if (f[0].empty()) fail(line, "the row has no time, which every row of a timed trace has");
      parsed.time = finiteReal(f[0]);
      if (!parsed.time) fail(line, "the time " + quotedText(f[0]) + " is not a number");
      ++c;
    }
    const std::string_view phase = c[0], kind = c[1];
    const auto node = parseInteger(c[2], IntegerForm::canonical);
    if (!node || *node < 0 || *node > kLargestNode) {
      fail(line, "the node " + quotedText(c[2]) + " is not a node (0 to 2147483646)");
    }
    const auto session = parseInteger(c[3], IntegerForm::canonical);
    if (!session) fail(line, "the session " + quotedText(c[3]) + " is not a whole number");
    parsed.node = *node;
    parsed.session = *session;
    auto requireEmpty = [&](std::string_view what) {
      if (!c[4].empty() || !c[5].empty() || !c[6].empty()) {
        fail(line,
             std::string(what) + " leaves band, delay and hops empty, found " +
                 quotedText(std::string(c[4]) + "," + std::string(c[5]) + "," + std::string(c[6])));
      }
    };
    if (phase == "sessions") {
      if (kind != "source")
        fail(line, "a row of the sessions part is a source, found kind " + quotedText(kind));
      if (parsed.time && *parsed.time != 0) {
        fail(line,
             "a source row at time " + quotedText(f[0]) + ", where the sessions exist from time 0");
      }
      requireEmpty("a source row");
      parsed.kind = TraceRow::Kind::source;
      parsed.time.reset();
      return parsed;
    }
    const auto named = phaseNamed(phase);
    if (!named) {
      fail(line, "the phase " + quotedText(phase) +
                     " is none of sessions, beef-up, join-leave and end-of-session");
    }
    parsed.phase = *named;
    if (kind == "join") {
      parsed.kind = TraceRow::Kind::join;
      const auto band = finiteReal(c[4]);
      if (!band) fail(line, "the band " + quotedText(c[4]) + " is not a number");
      const auto delay = finiteReal(c[5]);
      if (!delay) fail(line, "the delay " + quotedText(c[5]) + " is not a number");
      const auto hops = parseInteger(c[6], IntegerForm::canonical);
      if (!hops || *hops < kInt32Min || *hops > kInt32Max) {
        fail(line, "the hop count " + quotedText(c[6]) + " is not a 32-bit integer");
      }
      parsed.band = *band;
      parsed.delay = *delay;
      parsed.hops = *hops;
    } else if (kind == "leave") {
      parsed.kind = TraceRow::Kind::leave;
      requireEmpty("a leave row");
    } else {
      fail(line, "the kind " + quotedText(kind) + " of a request is neither join nor leave");
    }
    return parsed;
  }

 private:
  bool timed_ = false;
};

}  // namespace

bool opens(std::string_view firstBytes) {
  return firstBytes.starts_with("phase,") || firstBytes.starts_with("time,");
}

RunResult write(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  return writeWith<CsvWriter>(config, sink, monitor);
}

std::unique_ptr<TraceHandler> handler(ByteSink& sink) {
  return std::make_unique<WriterHandler<CsvWriter>>(sink);
}

std::unique_ptr<FormReader> reader(ByteSource& source, std::size_t bufferSize) {
  return std::make_unique<RowTraceReader>(source, bufferSize, TraceFormat::csv,
                                          std::make_unique<CsvRowParser>());
}

}  // namespace grouptrace::csv_form
