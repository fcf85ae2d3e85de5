// How fast the simulation runs: virtual seconds per wall second of whole sirsim sessions,
// the default one and a saturated one (10,000 I-frames of 2048 bytes at 115200 bits/s).
#include <benchmark/benchmark.h>

#include "tools/sirsim/scenario.h"

namespace {

void RunSession(benchmark::State& state, const sirsim::Options& options) {
  double virtualSeconds = 0, wallSeconds = 0;
  for (auto _ : state) {
    sirsim::RunReport report = sirsim::RunScenario(options);
    if (!report.errors.empty()) {
      state.SkipWithError(report.errors.front().c_str());
      return;
    }
    virtualSeconds += static_cast<double>(report.virtualTime) / host::kSecond;
    wallSeconds += report.wallSeconds;
  }
  state.counters["virtual_s_per_wall_s"] = virtualSeconds / wallSeconds;
  state.counters["virtual_s"] = virtualSeconds / static_cast<double>(state.iterations());
}

void BM_SirsimDefault(benchmark::State& state) { RunSession(state, sirsim::Options{}); }
BENCHMARK(BM_SirsimDefault)->Unit(benchmark::kMillisecond);

void BM_SirsimSaturated(benchmark::State& state) {
  sirsim::Options options;
  options.frames = 10'000;
  options.minSize = options.maxSize = 2048;
  RunSession(state, options);
}
BENCHMARK(BM_SirsimSaturated)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
