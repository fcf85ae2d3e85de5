// Scheduler speed: handovers between two threads that signal each other through events,
// and virtual time simulated per wall second for a thread that sleeps in 20 ms steps.
#include <benchmark/benchmark.h>

#include "host/kernel/scheduler.h"
#include "host/kernel/simulation.h"
#include "platform/kernel.h"
#include "platform/ndis.h"

namespace {

struct PingPong {
  KEVENT ping;
  KEVENT pong;
  bool stop = false;
};

void Responder(PVOID context) {
  auto* pair = static_cast<PingPong*>(context);
  for (;;) {
    KeWaitForSingleObject(&pair->ping, Executive, KernelMode, FALSE, nullptr);
    if (pair->stop) PsTerminateSystemThread(STATUS_SUCCESS);
    KeSetEvent(&pair->pong, 0, FALSE);
  }
}

void BM_EventHandovers(benchmark::State& state) {
  host::Simulation simulation(0);
  std::uint64_t handovers = 0;
  simulation.Run([&] {
    PingPong pair;
    KeInitializeEvent(&pair.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pair.pong, SynchronizationEvent, FALSE);
    HANDLE thread = nullptr;
    PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, Responder, &pair);
    std::uint64_t before = simulation.scheduler().handovers();
    for (auto _ : state) {
      KeSetEvent(&pair.ping, 0, FALSE);
      KeWaitForSingleObject(&pair.pong, Executive, KernelMode, FALSE, nullptr);
    }
    handovers = simulation.scheduler().handovers() - before;
    pair.stop = true;
    KeSetEvent(&pair.ping, 0, FALSE);
    simulation.RunFor(host::kMillisecond);
  });
  state.counters["handovers_per_s"] =
      benchmark::Counter(static_cast<double>(handovers), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EventHandovers);

void BM_VirtualSecondsPerWallSecond(benchmark::State& state) {
  host::Simulation simulation(0);
  simulation.SetTimeLimit(host::kForever);  // a long benchmark runs through virtual days
  simulation.Run([&] {
    for (auto _ : state) NdisMSleep(20'000);
  });
  state.counters["virtual_s_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 0.020, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VirtualSecondsPerWallSecond);

}  // namespace

BENCHMARK_MAIN();
