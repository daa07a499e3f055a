#include <cstring>
#include <memory>
#include <ostream>
#include <streambuf>

#include "generator/build_config.h"
#include "generator/run_into.h"
#include "writers/trace_writer.h"
#include "writers/writer_handler.h"

namespace grouptrace {
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

}  // namespace

RunResult writeText(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  if constexpr (kBaselineBuild) return streamText(config, sink, monitor);
  return writeWith<BasicTraceWriter>(config, sink, monitor);
}

std::unique_ptr<TraceHandler> textHandler(ByteSink& sink) {
  return std::make_unique<WriterHandler<BasicTraceWriter>>(sink);
}

}  // namespace grouptrace
