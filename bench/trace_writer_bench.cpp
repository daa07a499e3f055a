#include <benchmark/benchmark.h>

#include <sstream>

#include "formats/trace/trace_writer.h"

namespace grouptrace {
namespace {

// Takes the blocks and drops them, so the benchmark times formatting alone.
class DiscardSink final : public ByteSink {
 public:
  void write(const char* /*data*/, std::size_t size) override { bytes += size; }
  std::size_t bytes = 0;
};

template <class Output>
void writeRecords(benchmark::State& state, Output& output, double band) {
  BasicTraceWriter<Output> writer(output);
  NODEID node = 0;
  for (auto _ : state) {
    writer.join(JoinRecord{node, 3, band, 20, 4, std::nullopt});
    writer.leave(LeaveRecord{node, 3, std::nullopt});
    node = (node + 7919) & 0xFFFFF;
  }
  writer.flush();
  state.SetItemsProcessed(state.iterations() * 2);
}

// Band below one million is written as plain digits; at or above, in exponent form.
void BM_BlockOutputRecords(benchmark::State& state) {
  DiscardSink sink;
  BlockOutput output(sink);
  writeRecords(state, output, static_cast<double>(state.range(0)));
  state.SetBytesProcessed(static_cast<std::int64_t>(sink.bytes));
}

void BM_StreamOutputRecords(benchmark::State& state) {
  std::ostringstream os;
  StreamOutput output(os);
  writeRecords(state, output, static_cast<double>(state.range(0)));
  state.SetBytesProcessed(static_cast<std::int64_t>(os.tellp()));
}

BENCHMARK(BM_BlockOutputRecords)->Arg(150)->Arg(2500000)->ArgName("band");
BENCHMARK(BM_StreamOutputRecords)->Arg(150)->Arg(2500000)->ArgName("band");

}  // namespace
}  // namespace grouptrace
