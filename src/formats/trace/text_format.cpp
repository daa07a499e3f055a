#include "formats/trace/text_format.h"

#include <cstring>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <streambuf>

#include "formats/format_table.h"
#include "formats/format_writer.h"
#include "formats/trace/trace_text_lines.h"
#include "formats/trace/trace_writer.h"
#include "generator/build_config.h"
#include "grouptrace/trace_reader.h"

namespace grouptrace::text_form {
namespace {

// Hands what a stream inserts to a sink, through a buffer of its own. A
// sink's WriteError reaches the caller through the stream, whose exceptions
// include badbit.
class SinkStreambuf final : public std::streambuf {
 public:
  explicit SinkStreambuf(ByteSink& sink) : sink_(sink), buffer_(new char[kSize]) {
    setp(buffer_.get(), buffer_.get() + kSize);
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? 0 : c;
    drain();
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
  }
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    if (size > epptr() - pptr()) drain();
    if (size > epptr() - pptr()) {
      sink_.write(data, static_cast<std::size_t>(size));
    } else {
      std::memcpy(pptr(), data, static_cast<std::size_t>(size));
      pbump(static_cast<int>(size));
    }
    return size;
  }
  int sync() override {
    drain();
    return 0;
  }

 private:
  static constexpr std::size_t kSize = std::size_t{1} << 16;
  void drain() {
    const auto size = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.get(), buffer_.get() + kSize);
    if (size > 0) sink_.write(buffer_.get(), size);
  }
  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
};

// The straightforward build's trace text, by stream insertion: the baseline
// that the block writer is measured against.
[[maybe_unused]] RunResult streamText(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  SinkStreambuf buffer(sink);
  std::ostream stream(&buffer);
  stream.exceptions(std::ios::badbit);
  StreamOutput output(stream);
  BasicTraceWriter<StreamOutput> writer(output);
  const RunResult result = runInto(config, writer, monitor);
  writer.flush();
  return result;
}

// The text's own reader, which checks every rule of the text.
class TextFormReader final : public FormReader {
 public:
  TextFormReader(ByteSource& source, std::size_t bufferSize) : reader_(source, bufferSize) {}

  bool next(TraceEvent& event) override { return reader_.next(event); }
  bool timed() const override { return false; }
  std::uint64_t line() const override { return reader_.line(); }
  const TraceHeader& header() const override { return reader_.header(); }
  std::int32_t sessionCount() const override { return reader_.sessionCount(); }
  NODEID source(std::int32_t session) const override { return reader_.source(session); }
  Count groupSize(std::int32_t session) const override { return reader_.groupSize(session); }
  bool isMember(std::int32_t session, NODEID node) const override {
    return reader_.isMember(session, node);
  }
  std::optional<TracePhase> phase() const override { return reader_.phase(); }
  Count joins() const override { return reader_.joins(); }
  Count leaves() const override { return reader_.leaves(); }

 private:
  TraceReader reader_;
};

}  // namespace

bool opens(std::string_view firstBytes) {
  return firstBytes.substr(0, trace_format::kOpening.size()) == trace_format::kOpening;
}

RunResult write(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  if constexpr (kBaselineBuild) return streamText(config, sink, monitor);
  return writeWith<BasicTraceWriter>(config, sink, monitor);
}

std::unique_ptr<TraceHandler> handler(ByteSink& sink) {
  return std::make_unique<WriterHandler<BasicTraceWriter>>(sink);
}

std::unique_ptr<FormReader> reader(ByteSource& source, std::size_t bufferSize) {
  return std::make_unique<TextFormReader>(source, bufferSize);
}

}  // namespace grouptrace::text_form

namespace grouptrace {

void refuseTimedText() {
  throw std::invalid_argument(
      "the trace text has no place for the times of a timed trace: write it as " +
      formatNameList(" or ", &FormatHolds::times));
}

}  // namespace grouptrace
