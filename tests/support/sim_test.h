// Test support: runs a test body as the first thread of a fresh simulation, turns every
// verifier finding and a deadlock into a test failure, and names the seed of a failing
// run so that it can be replayed with SIR_SIM_SEED.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string_view>

#include "host/kernel/simulation.h"

namespace sirtest {

class SimTest : public ::testing::Test {
 protected:
  explicit SimTest(std::uint64_t seed = host::SeedFromEnvironment());

  // Runs body in the simulation. Findings of the rules in `expected` are only recorded,
  // for the test to assert on; every other finding fails the test.
  host::RunResult Run(const std::function<void()>& body);
  void ExpectFinding(std::string_view rule) { expected_.emplace_back(rule); }

  host::Simulation& sim() { return *simulation_; }
  void TearDown() override;

 private:
  std::unique_ptr<host::Simulation> simulation_;
  std::vector<std::string> expected_;
};

}  // namespace sirtest
