// Test runner: the whole run uses the seed from SIR_SIM_SEED (0 when unset).
#include <gtest/gtest.h>

#include <cstdio>

#include "host/kernel/simulation.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::printf("simulation seed %llu (set SIR_SIM_SEED to choose another)\n",
              static_cast<unsigned long long>(host::SeedFromEnvironment()));
  return RUN_ALL_TESTS();
}
