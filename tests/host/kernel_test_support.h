// Helpers for the host kernel's tests: system threads that run test lambdas, kernel
// time-outs, and whole runs with a chosen seed. Called on the simulated test thread,
// except RunWithSeed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "host/kernel/simulation.h"
#include "platform/kernel.h"

namespace kerneltest {

// The start routine of SystemThreads: runs the lambda it is given. Its name (and so the
// threads' names) is "kerneltest::TestThread#n".
inline void TestThread(PVOID context) { (*static_cast<std::function<void()>*>(context))(); }

// Starts lambdas as system threads. It owns the lambdas, so it must outlive the threads;
// declare it outside the run when the run may be abandoned (a deadlock), so that nothing
// it owns sits on a stack that is never unwound.
class SystemThreads {
 public:
  HANDLE Start(std::function<void()> body) {
    bodies_.push_back(std::move(body));
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, TestThread, &bodies_.back());
    EXPECT_EQ(status, STATUS_SUCCESS);
    return handle;
  }

 private:
  std::deque<std::function<void()>> bodies_;
};

// A relative kernel time-out (negative, in 100 ns units).
inline LARGE_INTEGER Relative(host::VirtualTime span) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -span;
  return timeout;
}

// An absolute kernel time-out, `span` after the present system time.
inline LARGE_INTEGER AbsoluteIn(host::VirtualTime span) {
  LARGE_INTEGER timeout;
  KeQuerySystemTime(&timeout);
  timeout.QuadPart += span;
  return timeout;
}

// Names a parameterized test after its case's `name`.
template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

// Runs body in a fresh simulation with this seed (not the run's SIR_SIM_SEED); every
// finding and a deadlock fail the test.
inline void RunWithSeed(std::uint64_t seed, const std::function<void(host::Simulation&)>& body) {
  host::Simulation simulation(seed);
  simulation.verifier().SetHandler([seed](const host::Violation& violation) {
    ADD_FAILURE() << "seed " << seed << ": " << violation.Describe();
  });
  host::RunResult result = simulation.Run([&] { body(simulation); });
  EXPECT_EQ(result.outcome, host::RunOutcome::kFinished)
      << "seed " << seed << ": " << result.deadlockReport;
}

}  // namespace kerneltest
