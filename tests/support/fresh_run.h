// Test support for campaigns that run one scenario many times: each run is a fresh
// simulation with its own seed and fault settings, and what went wrong in it (verifier
// findings, a deadlock) is collected for the campaign to report with the seed and the
// fault that replay it. Also the run length: campaigns do more runs when SIR_LONG_RUN is
// set (the `long-run` build target sets it).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/kernel/simulation.h"

namespace sirtest {

// True when SIR_LONG_RUN is set to anything but "0" or "".
bool LongRun();
// `normal` in the ordinary test run, `longRun` when SIR_LONG_RUN is set.
std::uint64_t RunLength(std::uint64_t normal, std::uint64_t longRun);

struct FreshRun {
  host::RunResult result;
  std::vector<host::Violation> findings;
  std::uint64_t allocations = 0;  // allocations counted by fault injection
  std::uint64_t injected = 0;     // allocations failed by fault injection
  bool testFailed = false;        // a gtest assertion failed during the run

  bool Clean() const {
    return result.outcome == host::RunOutcome::kFinished && findings.empty() && !testFailed;
  }
  // The findings and the deadlock report, one per line.
  std::string Describe() const;
};

// Runs body as the first thread of a fresh simulation with this seed. `prepare` runs
// before the run starts (for fault injection, a time limit); findings are collected
// rather than failing the test, so that the caller can name the run that found them.
FreshRun RunFresh(std::uint64_t seed, const std::function<void(host::Simulation&)>& prepare,
                  const std::function<void(host::Simulation&)>& body);

}  // namespace sirtest
