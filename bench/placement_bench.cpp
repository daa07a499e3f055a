#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dynamic/dynamic_run.h"
#include "dynamic/philox.h"
#include "formats/trace/trace_writer.h"
#include "generator/creation.h"
#include "grouptrace/byte_sink.h"

namespace grouptrace {
namespace {

class DiscardSink final : public ByteSink {
 public:
  void write(const char* /*data*/, std::size_t /*size*/) override {}
};

// 10^4 nodes by preferential attachment, two links per new node: hubs and a
// small diameter, as in measured router and AS networks.
std::shared_ptr<const Topology> preferentialNetwork() {
  constexpr NODEID kNodes = 10000;
  std::vector<std::string> ids;
  std::vector<Topology::Link> links;
  std::vector<NODEID> ends;
  dynamic::DrawStream draws(1, dynamic::Purpose::joinNode, 0);
  for (NODEID v = 0; v < kNodes; ++v) {
    ids.push_back(std::to_string(v));
    std::vector<NODEID> chosen;
    while (static_cast<NODEID>(chosen.size()) < std::min<NODEID>(2, v)) {
      const NODEID t = ends.empty() ? 0 : ends[draws.nextBelow(ends.size())];
      if (std::find(chosen.begin(), chosen.end(), t) == chosen.end()) chosen.push_back(t);
    }
    for (const NODEID t : chosen) {
      links.push_back({v, t, 1, 0});
      ends.push_back(v);
      ends.push_back(t);
    }
  }
  return std::make_shared<const Topology>(std::move(ids), std::move(links), TopologyFormat::orbis,
                                          "");
}

// A leave and a join of the join-leave phase (the node's draw, the QoS draws,
// the record, the update) on groups of 100 in a network of 10^4 nodes:
// uniform (affinity_x10 0), then placed by locality with affinity 1 and -1.
// The ratio of an affinity's time to the uniform one's in the same run is the
// cost of placement per request. One session keeps every tree in the caches;
// 16 make them share the caches as a run's sessions do.
void BM_RequestByPlacement(benchmark::State& state) {
  static const std::shared_ptr<const Topology> network = preferentialNetwork();
  Parameters p{network->nodeCount(), 1, 1 << 30, 0, 100, 1, 512, 64, 5, 50, 1, 6, 1};
  p.nSessions = static_cast<std::int32_t>(state.range(1));
  std::optional<Locality> locality;
  if (state.range(0) != 0) locality = Locality{network, state.range(0) / 10.0};
  Creation creation(p, locality);
  DiscardSink sink;
  BlockOutput output(sink);
  TraceWriter writer(output);
  for (std::int32_t s = 0; s < p.nSessions; ++s) {
    while (creation.getSess(s)->memberCount() < p.avgSize) creation.joinSession(s, writer);
  }
  // The same session leaves and joins, so that every group stays at 100;
  // the sessions take turns, so that their trees share the caches as a run's do.
  std::int32_t s = 0;
  for (auto _ : state) {
    creation.removeFromSession(s, writer);
    creation.joinSession(s, writer);
    s = (s + 5) % p.nSessions;
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

BENCHMARK(BM_RequestByPlacement)
    ->ArgsProduct({{0, 10, -10}, {1, 16}})
    ->ArgNames({"affinity_x10", "sessions"});

// The same in the timed model (dynamic-2): a request of its running phase (an
// arrival's join, with its draws, its stay on the calendar and the tree's
// update, or a stay's end and its update), groups of 100 on average in
// sessions that take turns by their arrivals and stays.
void BM_TimedRequestByPlacement(benchmark::State& state) {
  static const std::shared_ptr<const Topology> network = preferentialNetwork();
  Parameters p{network->nodeCount(), 1, 0, 0, 100, 1, 512, 64, 5, 50, 1, 6, 0};
  p.nSessions = static_cast<std::int32_t>(state.range(1));
  dynamic::DynamicOptions options;
  options.holding.first = 100;
  // Long enough that no run of the benchmark reaches its end.
  options.duration = 1e9;
  std::optional<Locality> locality;
  if (state.range(0) != 0) locality = Locality{network, state.range(0) / 10.0};
  dynamic::DynamicRun run(p, 7, options, {}, locality);
  TraceEvent event;
  // The header, the sources and the members at time 0 first.
  for (bool running = false; !running;) {
    run.next(event);
    const auto* phase = std::get_if<PhaseStart>(&event);
    running = phase != nullptr && phase->phase == TracePhase::joinLeave;
  }
  for (auto _ : state) {
    run.next(event);
    benchmark::DoNotOptimize(event);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_TimedRequestByPlacement)
    ->ArgsProduct({{0, 10, -10}, {1, 16}})
    ->ArgNames({"affinity_x10", "sessions"});

}  // namespace
}  // namespace grouptrace
