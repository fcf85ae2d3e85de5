#include "tests/support/sim_test.h"

#include <algorithm>

namespace sirtest {

SimTest::SimTest(std::uint64_t seed) : simulation_(std::make_unique<host::Simulation>(seed)) {
  simulation_->verifier().SetHandler([this](const host::Violation& violation) {
    if (std::find(expected_.begin(), expected_.end(), violation.rule) == expected_.end()) {
      ADD_FAILURE() << violation.Describe();
    }
  });
}

host::RunResult SimTest::Run(const std::function<void()>& body) {
  host::RunResult result = simulation_->Run(body);
  if (result.outcome == host::RunOutcome::kDeadlock) {
    ADD_FAILURE() << "the simulation deadlocked " << result.deadlockReport;
  }
  return result;
}

void SimTest::TearDown() {
  if (HasFailure()) {
    std::printf("[   SEED   ] replay with SIR_SIM_SEED=%llu\n",
                static_cast<unsigned long long>(simulation_->seed()));
  }
}

}  // namespace sirtest
