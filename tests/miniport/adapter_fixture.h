// Test support for whole adapters: the driver's handlers registered with the miniport
// host as NDIS would have them, the driver-wide state made ready, and helpers to bring
// an adapter up, send through it and read what reached its dongle.
#pragma once

#include <memory>
#include <vector>

#include "host/ndis/miniport_host.h"
#include "host/ndis/send_packet.h"
#include "miniport/adapter.h"
#include "receive/rx_indicate.h"
#include "tests/support/fresh_run.h"
#include "tests/support/sim_test.h"
#include "transmit/send.h"

namespace sirtest {

inline NDIS50_MINIPORT_CHARACTERISTICS DriverHandlers() {
  NDIS50_MINIPORT_CHARACTERISTICS handlers{};
  handlers.MajorNdisVersion = 5;
  handlers.InitializeHandler = MiniportInitialize;
  handlers.HaltHandler = MiniportHalt;
  handlers.SendHandler = MiniportSend;
  handlers.ReturnPacketHandler = MiniportReturnPacket;
  return handlers;
}

// Virtual time since it was made.
class VirtualTimeCheck {
 public:
  explicit VirtualTimeCheck(host::Simulation& simulation)
      : simulation_(simulation), start_(simulation.Now()) {}
  host::VirtualTime Elapsed() const { return simulation_.Now() - start_; }

 private:
  host::Simulation& simulation_;
  host::VirtualTime start_;
};

class AdapterTest : public SimTest {
 protected:
  using SimTest::SimTest;

  void SetUp() override {
    InitializeListHead(&adapterList);
    KeInitializeSpinLock(&adapterListLock);
    currentAdapter = nullptr;
  }

  // Runs body with a fresh miniport host; the host is gone before the run ends.
  void RunWithHost(const std::function<void(host::ndis::MiniportHost&)>& body) {
    Run([&] {
      host::ndis::MiniportHost miniportHost(DriverHandlers());
      body(miniportHost);
    });
  }

  // For tables of cases that each need a run of their own: runs body with a fresh
  // miniport host in a fresh simulation; a verifier finding or a deadlock fails the test.
  void RunCase(const std::function<void(host::Simulation&, host::ndis::MiniportHost&)>& body,
               std::uint64_t seed = host::SeedFromEnvironment()) {
    const FreshRun run = RunFresh(seed, nullptr, [&](host::Simulation& simulation) {
      SetUp();
      host::ndis::MiniportHost miniportHost(DriverHandlers());
      body(simulation, miniportHost);
    });
    EXPECT_TRUE(run.findings.empty() && run.result.outcome == host::RunOutcome::kFinished)
        << run.Describe();
  }

  static IrDevice* Device(const host::ndis::Adapter& adapter) {
    return adapter.context<IrDevice>();
  }
};

}  // namespace sirtest
