#include "grouptrace/generator.h"

#include "generator/format_writers.h"
#include "generator/run_into.h"
#include "generator/trace_output.h"
#include "generator/trace_writer.h"

namespace grouptrace {
namespace {

// A run's events, handed to a caller's handler as the reader's event types.
class HandlerSink {
 public:
  explicit HandlerSink(TraceHandler& handler) : handler_(handler) {}
  void header(std::int32_t avgSize, std::int32_t orderedJoinLeave) {
    handler_.onHeader(TraceHeader{avgSize, orderedJoinLeave});
  }
  void sessionEntry(std::int32_t session, NODEID source) {
    handler_.onSession(SessionEntry{session, source});
  }
  void phase(TracePhase phase) { handler_.onPhase(PhaseStart{phase}); }
  void join(NODEID node, std::int32_t session, double band, double del, HOPS hops) {
    handler_.onJoin(JoinRecord{node, session, band, del, hops});
  }
  void leave(NODEID node, std::int32_t session) { handler_.onLeave(LeaveRecord{node, session}); }
  void summary(Count trans, Count joins, Count leaves) {
    handler_.onSummary(TraceSummary{trans, joins, leaves});
  }

 private:
  TraceHandler& handler_;
};

// One of the writers as a handler, for events that come from elsewhere (a
// stored trace being converted).
template <template <class> class Writer>
class WriterHandler final : public TraceHandler {
 public:
  explicit WriterHandler(ByteSink& sink) : output_(sink), writer_(output_) {}
  void onHeader(const TraceHeader& h) override { writer_.header(h.avgSize, h.orderedJoinLeave); }
  void onSession(const SessionEntry& s) override { writer_.sessionEntry(s.session, s.source); }
  void onPhase(const PhaseStart& p) override { writer_.phase(p.phase); }
  void onJoin(const JoinRecord& j) override {
    writer_.join(j.node, j.session, j.band, j.delay, j.hops);
  }
  void onLeave(const LeaveRecord& l) override { writer_.leave(l.node, l.session); }
  void onSummary(const TraceSummary& s) override {
    writer_.summary(s.trans, s.joins, s.leaves);
    writer_.flush();
  }

 private:
  BlockOutput output_;
  Writer<BlockOutput> writer_;
};

}  // namespace

RunResult generate(const Parameters& parameters, SEED_type seed, TraceHandler& handler) {
  HandlerSink sink(handler);
  return runInto(parameters, seed, sink);
}

std::optional<TraceFormat> parseTraceFormat(std::string_view name) {
  for (const TraceFormat format : {TraceFormat::trace, TraceFormat::csv, TraceFormat::jsonl}) {
    if (name == formatName(format)) return format;
  }
  return std::nullopt;
}

std::string_view formatName(TraceFormat format) {
  switch (format) {
    case TraceFormat::csv:
      return "csv";
    case TraceFormat::jsonl:
      return "jsonl";
    case TraceFormat::trace:
      break;
  }
  return "trace";
}

std::unique_ptr<TraceHandler> makeTraceWriter(TraceFormat format, ByteSink& sink) {
  switch (format) {
    case TraceFormat::csv:
      return std::make_unique<WriterHandler<CsvWriter>>(sink);
    case TraceFormat::jsonl:
      return std::make_unique<WriterHandler<JsonLinesWriter>>(sink);
    case TraceFormat::trace:
      break;
  }
  return std::make_unique<WriterHandler<BasicTraceWriter>>(sink);
}

RunResult writeTrace(const Parameters& parameters, SEED_type seed, TraceFormat format,
                     ByteSink& sink) {
  switch (format) {
    case TraceFormat::csv:
      return writeCsv(parameters, seed, sink);
    case TraceFormat::jsonl:
      return writeJsonLines(parameters, seed, sink);
    case TraceFormat::trace:
      break;
  }
  return writeText(parameters, seed, sink);
}

}  // namespace grouptrace
