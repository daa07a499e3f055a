#include <benchmark/benchmark.h>

#include "formats/trace/trace_writer.h"
#include "generator/probab.h"
#include "generator/session.h"
#include "grouptrace/byte_sink.h"

namespace grouptrace {
namespace {

class DiscardSink final : public ByteSink {
 public:
  void write(const char* /*data*/, std::size_t /*size*/) override {}
};

// One leave and one join on a session of 50 members, the way the join-leave
// phase performs them (draws, selection, record, update), in networks from a
// thousand to a billion nodes: the cost must not grow with the network.
void BM_RequestByNetworkSize(benchmark::State& state) {
  const auto nNodes = static_cast<NODEID>(state.range(0));
  DiscardSink sink;
  BlockOutput output(sink);
  TraceWriter writer(output);
  Probab draws;
  Session session(0, nNodes, draws);
  const QosRanges qos(512, 64, 5, 50, 1, 6);
  draws.initRandomProb(1);
  while (session.memberCount() < 50) session.newJoin(draws, qos, writer);
  for (auto _ : state) {
    session.newRemove(draws, writer);
    session.newJoin(draws, qos, writer);
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

BENCHMARK(BM_RequestByNetworkSize)->RangeMultiplier(10)->Range(1000, 1000000000)->ArgName("nodes");

}  // namespace
}  // namespace grouptrace
