#include <benchmark/benchmark.h>

#include <climits>

#include "generator/probab.h"

namespace grouptrace {
Probab p;
namespace {

void BM_RandomProb(benchmark::State& state) {
  p.initRandomProb(1);
  for (auto _ : state) benchmark::DoNotOptimize(p.randomProb(0));
  state.SetItemsProcessed(state.iterations());
}

// Narrow bounds take the short exact path; bounds across the whole 32-bit range
// need every rounding step of the extended-precision evaluation.
void BM_UniInterProb(benchmark::State& state) {
  const double min = static_cast<double>(state.range(0));
  const double max = static_cast<double>(state.range(1));
  p.initRandomProb(1);
  for (auto _ : state) benchmark::DoNotOptimize(p.uni_inter_Prob(min, max, 0));
  state.SetItemsProcessed(state.iterations());
}

void BM_CoinFlip(benchmark::State& state) {
  p.initRandomProb(1);
  for (auto _ : state) benchmark::DoNotOptimize(p.coinFlip());
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RandomProb);
BENCHMARK(BM_UniInterProb)
    ->Args({0, 9})
    ->Args({10, 100})
    ->Args({0, 1999999})
    ->Args({INT_MIN, INT_MAX})
    ->ArgNames({"min", "max"});
BENCHMARK(BM_CoinFlip);

}  // namespace
}  // namespace grouptrace
