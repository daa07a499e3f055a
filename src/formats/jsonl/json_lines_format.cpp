#include "formats/jsonl/json_lines_format.h"

#include <utility>

#include "common/message_text.h"
#include "formats/format_writer.h"
#include "formats/jsonl/json_lines_row.h"
#include "formats/jsonl/json_lines_writer.h"
#include "grouptrace/trace_error.h"

namespace grouptrace::json_lines_form {
namespace {

class JsonLinesRowParser final : public RowParser {
 public:
  TraceRow header(std::string_view text, std::uint64_t line) override {
    TraceRow parsed = parseJsonLinesRow(text, line);
    if (parsed.kind != TraceRow::Kind::header) {
      throw TraceError(line,
                       "expected the header object {\"kind\":\"header\",...} on the first "
                       "line, found " +
                           quotedText(text));
    }
    return parsed;
  }
  TraceRow row(std::string_view text, std::uint64_t line) override {
    return parseJsonLinesRow(text, line);
  }
};

}  // namespace

bool opens(std::string_view firstBytes) {
  return firstBytes.starts_with("{");
}

RunResult write(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  return writeWith<JsonLinesWriter>(config, sink, monitor);
}

std::unique_ptr<TraceHandler> handler(ByteSink& sink) {
  return std::make_unique<WriterHandler<JsonLinesWriter>>(sink);
}

std::unique_ptr<FormReader> reader(ByteSource& source, std::size_t bufferSize) {
  return std::make_unique<RowTraceReader>(source, bufferSize, TraceFormat::jsonl,
                                          std::make_unique<JsonLinesRowParser>());
}

}  // namespace grouptrace::json_lines_form
