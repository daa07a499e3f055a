#include "generator/run_into.h"
#include "writers/format_writers.h"
#include "writers/writer_handler.h"

namespace grouptrace {

RunResult writeCsv(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  return writeWith<CsvWriter>(config, sink, monitor);
}

std::unique_ptr<TraceHandler> csvHandler(ByteSink& sink) {
  return std::make_unique<WriterHandler<CsvWriter>>(sink);
}

RunResult writeJsonLines(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  return writeWith<JsonLinesWriter>(config, sink, monitor);
}

std::unique_ptr<TraceHandler> jsonLinesHandler(ByteSink& sink) {
  return std::make_unique<WriterHandler<JsonLinesWriter>>(sink);
}

}  // namespace grouptrace
