// The step fit at the largest table, against the plain transcription of the
// recurrence.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>

#include "detect/detection.h"
#include "tests/reference_fit.h"

namespace {

// A realistic 50-hop path: a plateau, a bottleneck, a few bumps and noise.
std::unique_ptr<detect::DetectionState> path_of(int n) {
  auto state = std::make_unique<detect::DetectionState>();
  std::mt19937 rng(7);
  for (int i = 0; i < n; ++i) {
    int v = i < n / 3 ? 400 : (i < 2 * n / 3 ? 2400 : 2300);
    v += static_cast<int>(rng() % 60) - 30;
    if (i % 11 == 5) v += 150;
    detect::HopEntry& e = state->working_table[i];
    e.step = v;
    e.raw_index = i;
  }
  state->working_count = n;
  return state;
}

void BM_fit_steps(benchmark::State& bench) {
  auto state = path_of(static_cast<int>(bench.range(0)));
  auto table = std::make_unique<detect::FitTable>();
  for (auto _ : bench) {
    detect::fit_steps(*state, *table);
    benchmark::DoNotOptimize(table->cost[0]);
  }
}
BENCHMARK(BM_fit_steps)->Arg(10)->Arg(25)->Arg(50)->Unit(benchmark::kMicrosecond);

void BM_fit_and_select(benchmark::State& bench) {
  auto state = path_of(50);
  auto table = std::make_unique<detect::FitTable>();
  for (auto _ : bench) {
    std::memset(state->labels, 0, sizeof state->labels);
    detect::fit_steps(*state, *table);
    detect::select_chokes(*state, *table);
    benchmark::DoNotOptimize(state->labels[0].rank);
  }
}
BENCHMARK(BM_fit_and_select)->Unit(benchmark::kMicrosecond);

void BM_plain_recurrence(benchmark::State& bench) {
  auto state = path_of(static_cast<int>(bench.range(0)));
  auto table = std::make_unique<reference::Table>();
  for (auto _ : bench) {
    reference::fit_steps(*state, *table);
    benchmark::DoNotOptimize(table->cell[0][0][0].cost);
  }
}
BENCHMARK(BM_plain_recurrence)->Arg(10)->Arg(25)->Arg(50)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
