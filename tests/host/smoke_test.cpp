#include "tests/support/sim_test.h"
#include "platform/kernel.h"
#include "platform/ndis.h"

namespace {
class Smoke : public sirtest::SimTest {};
TEST_F(Smoke, Runs) {
  Run([] { NdisMSleep(5); });
}
}
