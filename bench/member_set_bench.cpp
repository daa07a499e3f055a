#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "member_set/member_set.h"

namespace grouptrace {
namespace {

constexpr NODEID kHugeNetwork = std::numeric_limits<NODEID>::max();

// Random words drawn ahead of the timed loop so it times the set, not the generator. The
// buffer is long enough that branch predictors cannot learn the sequence.
class Draws {
 public:
  explicit Draws(std::uint64_t seed) : words_(kLen) {
    std::mt19937_64 rng(seed);
    for (std::uint64_t& w : words_) w = rng();
  }
  // Uniform in [0, bound) for bound <= 2^31, by multiply-shift.
  Count below(Count bound) {
    const std::uint64_t w = words_[next_];
    next_ = (next_ + 1) & (kLen - 1);
    return static_cast<Count>(((w >> 32) * static_cast<std::uint64_t>(bound)) >> 32);
  }

 private:
  static constexpr std::size_t kLen = std::size_t{1} << 14;
  std::vector<std::uint64_t> words_;
  std::size_t next_ = 0;
};

MemberSet makeSet(NODEID nNodes, Count size, Draws& draws) {
  MemberSet set(nNodes);
  while (set.size() < size) set.insert(set.nthNonMember(draws.below(nNodes - set.size())));
  return set;
}

void report(benchmark::State& state, const MemberSet& set, int opsPerIteration) {
  state.SetItemsProcessed(state.iterations() * opsPerIteration);
  state.counters["members"] = static_cast<double>(set.size());
  state.counters["bytes"] = static_cast<double>(set.memoryBytes());
}

// A leave then a join, each chosen the way requests choose them: one iteration is two
// requests, each a selection plus an update.
void BM_Churn(benchmark::State& state) {
  const auto nNodes = static_cast<NODEID>(state.range(0));
  const Count size = state.range(1);
  Draws draws(1);
  MemberSet set = makeSet(nNodes, size, draws);
  for (auto _ : state) {
    set.erase(set.nthMember(draws.below(size)));
    set.insert(set.nthNonMember(draws.below(nNodes - size + 1)));
  }
  report(state, set, 2);
}

void BM_NthNonMember(benchmark::State& state) {
  const auto nNodes = static_cast<NODEID>(state.range(0));
  const Count size = state.range(1);
  Draws draws(2);
  const MemberSet set = makeSet(nNodes, size, draws);
  for (auto _ : state) benchmark::DoNotOptimize(set.nthNonMember(draws.below(nNodes - size)));
  report(state, set, 1);
}

// Both halves of picking a leaving member and finding its position: two queries per iteration.
void BM_NthMemberRank(benchmark::State& state) {
  const auto nNodes = static_cast<NODEID>(state.range(0));
  const Count size = state.range(1);
  Draws draws(3);
  const MemberSet set = makeSet(nNodes, size, draws);
  for (auto _ : state) benchmark::DoNotOptimize(set.rank(set.nthMember(draws.below(size))));
  report(state, set, 2);
}

// Half the probes are members, half uniform over the network.
void BM_Contains(benchmark::State& state) {
  const auto nNodes = static_cast<NODEID>(state.range(0));
  const Count size = state.range(1);
  Draws draws(4);
  const MemberSet set = makeSet(nNodes, size, draws);
  std::vector<NODEID> probes(std::size_t{1} << 14);
  for (std::size_t i = 0; i < probes.size(); ++i) {
    probes[i] =
        i % 2 == 0 ? set.nthMember(draws.below(size)) : static_cast<NODEID>(draws.below(nNodes));
  }
  std::shuffle(probes.begin(), probes.end(), std::mt19937_64(5));
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(set.contains(probes[next]));
    next = (next + 1) & (probes.size() - 1);
  }
  report(state, set, 1);
}

// Set sizes 20, 1,000 and 100,000 in the largest network, 95% of 10,000 nodes, and the groups of
// a few hundred to a few thousand in networks of 1,000 and 4,000 nodes that most runs make.
void sizes(benchmark::internal::Benchmark* b) {
  for (Count size : {Count{20}, Count{1000}, Count{100000}}) b->Args({kHugeNetwork, size});
  b->Args({10000, 9500});
  b->Args({1000, 40});
  b->Args({1000, 500});
  b->Args({4000, 2000});
}

// 50 members in networks of 10^3 .. 10^9 nodes: the cost must not follow the network.
void networks(benchmark::internal::Benchmark* b) {
  for (Count n = 1000; n <= 1000000000; n *= 10) b->Args({n, 50});
}

// What a member costs in memory in each form: the tree (groups sparse in 10^8 nodes), and bits
// (half-full and full groups, on either side of 65,536 nodes and up to a million). Timed is the
// churn of BM_Churn, so that the figure comes with the cost of a request in that form.
void BM_MemoryPerMember(benchmark::State& state) {
  const auto nNodes = static_cast<NODEID>(state.range(0));
  const Count size = state.range(1);
  Draws draws(6);
  MemberSet set = makeSet(nNodes, size, draws);
  const double bytes = static_cast<double>(set.memoryBytes());
  const bool full = size == nNodes;
  for (auto _ : state) {
    if (full) {
      benchmark::DoNotOptimize(set.nthMember(draws.below(size)));
    } else {
      set.erase(set.nthMember(draws.below(size)));
      set.insert(set.nthNonMember(draws.below(nNodes - size + 1)));
    }
  }
  report(state, set, full ? 1 : 2);
  state.counters["bytes_per_member"] = bytes / static_cast<double>(size);
}

void memorySizes(benchmark::internal::Benchmark* b) {
  for (Count size : {Count{1000}, Count{100000}, Count{1000000}}) b->Args({100000000, size});
  for (Count size : {Count{32768}, Count{65536}, Count{500000}}) b->Args({2 * size, size});
  b->Args({1000000, 1000000});
}

BENCHMARK(BM_MemoryPerMember)->Apply(memorySizes)->ArgNames({"nodes", "size"});
BENCHMARK(BM_Churn)->Apply(sizes)->ArgNames({"nodes", "size"});
BENCHMARK(BM_NthNonMember)->Apply(sizes)->ArgNames({"nodes", "size"});
BENCHMARK(BM_NthMemberRank)->Apply(sizes)->ArgNames({"nodes", "size"});
BENCHMARK(BM_Contains)->Apply(sizes)->ArgNames({"nodes", "size"});
BENCHMARK(BM_Churn)->Name("BM_ChurnByNetwork")->Apply(networks)->ArgNames({"nodes", "size"});
BENCHMARK(BM_NthNonMember)
    ->Name("BM_NthNonMemberByNetwork")
    ->Apply(networks)
    ->ArgNames({"nodes", "size"});

}  // namespace
}  // namespace grouptrace
