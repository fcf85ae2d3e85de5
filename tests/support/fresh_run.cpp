#include "tests/support/fresh_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string_view>

namespace sirtest {

bool LongRun() {
  const char* value = std::getenv("SIR_LONG_RUN");
  return value != nullptr && std::string_view(value) != "" && std::string_view(value) != "0";
}

std::uint64_t RunLength(std::uint64_t normal, std::uint64_t longRun) {
  return LongRun() ? longRun : normal;
}

std::string FreshRun::Describe() const {
  std::ostringstream out;
  for (const host::Violation& finding : findings) out << finding.Describe() << "\n";
  if (result.outcome == host::RunOutcome::kDeadlock) {
    out << "deadlock: " << result.deadlockReport << "\n";
  }
  if (testFailed) out << "an assertion failed during the run\n";
  return out.str();
}

namespace {

// Failed assertions of the running test so far.
int FailedParts() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) return 0;
  const ::testing::TestResult* result = test->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++failed;
  }
  return failed;
}

}  // namespace

FreshRun RunFresh(std::uint64_t seed, const std::function<void(host::Simulation&)>& prepare,
                  const std::function<void(host::Simulation&)>& body) {
  FreshRun run;
  host::Simulation simulation(seed);
  simulation.verifier().SetHandler(
      [&run](const host::Violation& violation) { run.findings.push_back(violation); });
  if (prepare) prepare(simulation);
  // Counted, not asked for once: a run after one that failed must be judged on its own.
  const int failuresBefore = FailedParts();
  run.result = simulation.Run([&] { body(simulation); });
  run.testFailed = FailedParts() > failuresBefore;
  run.allocations = simulation.faults().allocations();
  run.injected = simulation.faults().injected();
  return run;
}

}  // namespace sirtest
