// Adapter initialization and halt.
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/kernel/scheduler.h"
#include "tests/miniport/adapter_fixture.h"

namespace sirtest {
namespace {

class AdapterLifecycle : public AdapterTest {};

TEST_F(AdapterLifecycle, InitializesWithADongleAndHaltsLeavingNothing) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    IrDevice* device = Device(adapter);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(adapter.selectedMedium, 0u);
    EXPECT_EQ(adapter.block.attributeFlags(), 0x62u);
    EXPECT_EQ(device->currentSpeed, 9600u);
    EXPECT_EQ(device->nowReceiving, 1);
    EXPECT_EQ(device->allowedSpeeds, 0x3Eu);
    EXPECT_EQ(currentAdapter, device);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 9600u);
    ndis.Halt(adapter);
    EXPECT_EQ(currentAdapter, nullptr);
  });
}

}  // namespace
}  // namespace sirtest

namespace sirtest {
namespace {

using host::usb::RequestKind;

// Every worker thread the driver started has ended.
bool WorkerThreadsEnded(host::Simulation& simulation) {
  for (auto& thread : simulation.scheduler().threads()) {
    if (thread->name().rfind("WorkerThread", 0) != 0) continue;
    if (thread->state() != host::ThreadState::kParked &&
        thread->state() != host::ThreadState::kFinished) {
      return false;
    }
  }
  return true;
}

TEST_F(AdapterLifecycle, TheFirstIrdaMediumIsSelectedAndWithoutOneNothingIsAllocated) {
  struct MediumCase {
    std::vector<NDIS_MEDIUM> media;
    NDIS_STATUS status;
    UINT selected;
  };
  const MediumCase cases[] = {
      {{NdisMedium802_3, static_cast<NDIS_MEDIUM>(1)}, NDIS_STATUS_UNSUPPORTED_MEDIA, ~0u},
      {{}, NDIS_STATUS_UNSUPPORTED_MEDIA, ~0u},
      {{NdisMedium802_3, static_cast<NDIS_MEDIUM>(1), NdisMediumIrda, NdisMedium802_3, NdisMediumIrda},
       NDIS_STATUS_SUCCESS, 2},
  };
  for (const MediumCase& c : cases) {
    SCOPED_TRACE(c.media.size());
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::AdapterSettings settings;
      settings.withDongle = false;
      settings.media = c.media;
      host::ndis::Adapter& adapter = ndis.AddAdapter(settings);
      const std::uint64_t allocationsBefore = simulation.faults().allocations();
      EXPECT_EQ(ndis.Initialize(adapter), c.status);
      EXPECT_EQ(adapter.selectedMedium, c.selected);
      if (c.status != NDIS_STATUS_SUCCESS) {
        EXPECT_EQ(simulation.faults().allocations(), allocationsBefore);
      } else {
        ndis.Halt(adapter);
      }
    });
  }
}

TEST_F(AdapterLifecycle, WithoutALowerDeviceNothingTouchesHardware) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& other = ndis.AddAdapter();
    ASSERT_EQ(ndis.Initialize(other), NDIS_STATUS_SUCCESS);
    host::ndis::AdapterSettings settings;
    settings.withDongle = false;
    host::ndis::Adapter& adapter = ndis.AddAdapter(settings);
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    IrDevice* device = Device(adapter);
    EXPECT_EQ(device->lowerDevice, nullptr);
    EXPECT_EQ(device->bridge, nullptr);
    EXPECT_EQ(device->currentSpeed, 0u) << "no speed was set";
    EXPECT_EQ(device->nowReceiving, 0) << "no read was posted";
    EXPECT_EQ(device->rxCurrent, nullptr);
    EXPECT_EQ(currentAdapter, Device(other)) << "currentAdapter does not change";
    EXPECT_EQ(adapterList.Blink, &device->listLink) << "the record is listed";
    EXPECT_NE(device->workerThreadHandle, nullptr);
    ndis.Halt(adapter);
    EXPECT_EQ(currentAdapter, Device(other));
    ndis.Halt(other);
    EXPECT_TRUE(WorkerThreadsEnded(sim()));
  });
}

TEST_F(AdapterLifecycle, HaltingTheCurrentAdapterClearsItAndHaltingAnotherLeavesIt) {
  for (bool haltCurrentFirst : {true, false}) {
    SCOPED_TRACE(haltCurrentFirst ? "current first" : "other first");
    RunCase([&](host::Simulation&, host::ndis::MiniportHost& ndis) {
      host::ndis::Adapter& first = ndis.AddAdapter();
      host::ndis::Adapter& second = ndis.AddAdapter();
      ASSERT_EQ(ndis.Initialize(first), NDIS_STATUS_SUCCESS);
      ASSERT_EQ(ndis.Initialize(second), NDIS_STATUS_SUCCESS);
      EXPECT_EQ(currentAdapter, Device(second)) << "the last adapter initialized";
      IrDevice* current = Device(second);
      if (haltCurrentFirst) {
        ndis.Halt(second);
        EXPECT_EQ(currentAdapter, nullptr);
        ndis.Halt(first);
        EXPECT_EQ(currentAdapter, nullptr);
      } else {
        ndis.Halt(first);
        EXPECT_EQ(currentAdapter, current);
        ndis.Halt(second);
        EXPECT_EQ(currentAdapter, nullptr);
      }
      EXPECT_TRUE(IsListEmpty(&adapterList));
    });
  }
}

TEST_F(AdapterLifecycle, HaltWithATransferThatNeverEndsReportsItOnceAfter501SleepsAndFinishes) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    // A write whose completion never comes, as far as the halt can tell.
    WriteOnce(Device(adapter)->nowSending, UCHAR{1});
    VirtualTimeCheck halt(sim());
    ndis.Halt(adapter);
    EXPECT_EQ(sim().debugLog().Count(
                  " MiniportHalt:TIME OUT!!! pIrDevice->nowSending[1],pIrDevice->nowReceiving[0]\n\r"),
              1u);
    EXPECT_EQ(sim().debugLog().entries().size(), 1u);
    EXPECT_GE(halt.Elapsed(), 501 * 20 * host::kMillisecond);
    EXPECT_LT(halt.Elapsed(), 501 * 20 * host::kMillisecond + 3 * host::kSecond);
  });
}

// What a failed initialization must leave: no worker thread, the bridge stopped, and
// (checked by the host at the failure) nothing allocated.
void ExpectCleanFailure(host::Simulation& simulation, host::ndis::Adapter& adapter) {
  EXPECT_TRUE(WorkerThreadsEnded(simulation));
  if (adapter.dongle) {
    EXPECT_FALSE(adapter.dongle->bridge.configured()) << "the bridge is stopped";
  }
  EXPECT_EQ(currentAdapter, nullptr);
  EXPECT_TRUE(IsListEmpty(&adapterList));
}

TEST_F(AdapterLifecycle, EachFailingStepReturnsItsStatusAndLeavesNothing) {
  struct StepCase {
    const char* name;
    bool failConfigurationOpen;
    std::function<void(host::usb::LowerDevice&)> arrange;
    NDIS_STATUS status;
  };
  const StepCase cases[] = {
      {"configuration cannot be opened", true, [](host::usb::LowerDevice&) {},
       NDIS_STATUS_ADAPTER_NOT_FOUND},
      {"line format refused", false,
       [](host::usb::LowerDevice& lower) {
         // The first line-coding request sets the rate (not consulted), the second the format.
         lower.FailNext(RequestKind::kClassRequest,
                        {STATUS_DEVICE_DATA_ERROR, host::usb::USBD_STATUS_STALL_PID}, 2);
       },
       static_cast<NDIS_STATUS>(STATUS_DEVICE_DATA_ERROR)},
      {"first read finds the device gone", false,
       [](host::usb::LowerDevice& lower) {
         lower.SetDelivery(RequestKind::kBulkIn, host::usb::Delivery::kAtOnce);
         lower.FailNext(RequestKind::kBulkIn, host::usb::kUrbDeviceGone);
       },
       NDIS_STATUS_FAILURE},
      // Its completion has posted the next read by the time initialization fails.
      {"first read stalls and is re-posted", false,
       [](host::usb::LowerDevice& lower) {
         lower.SetDelivery(RequestKind::kBulkIn, host::usb::Delivery::kAtOnce);
         lower.FailNext(RequestKind::kBulkIn, host::usb::kUrbStall);
       },
       NDIS_STATUS_FAILURE},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::AdapterSettings settings;
      settings.failConfigurationOpen = c.failConfigurationOpen;
      host::ndis::Adapter& adapter = ndis.AddAdapter(settings);
      c.arrange(adapter.dongle->lower);
      VirtualTimeCheck initialize(simulation);
      EXPECT_EQ(ndis.Initialize(adapter), c.status);
      EXPECT_LT(initialize.Elapsed(), 5 * host::kSecond) << "no long wait for a read";
      ExpectCleanFailure(simulation, adapter);
      EXPECT_EQ(adapter.dongle->lower.pendingCount(), 0u);
    });
  }
}

// The allocations a successful initialization makes, counted in a run of its own.
std::uint64_t AllocationsOfInitialize() {
  host::Simulation simulation(0);
  std::uint64_t count = 0;
  simulation.Run([&] {
    InitializeListHead(&adapterList);
    currentAdapter = nullptr;
    host::ndis::MiniportHost ndis(DriverHandlers());
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    const std::uint64_t before = simulation.faults().allocations();
    EXPECT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    count = simulation.faults().allocations() - before;
    ndis.Halt(adapter);
  });
  return count;
}

TEST_F(AdapterLifecycle, AFailureAtEachAllocationOfInitializationLeavesNothing) {
  const std::uint64_t total = AllocationsOfInitialize();
  ASSERT_GT(total, 30u);
  // The record, the receive pool (two pools, 14 packets, 14 data areas, the read buffer),
  // the transmit buffer and the worker thread: each fails for want of memory. The next
  // allocation is the configuration's.
  const std::uint64_t resourceAllocations = 1 + 2 + 14 * 2 + 1 + 1 + 1;
  const std::set<NDIS_STATUS> partStatuses = {
      NDIS_STATUS_SUCCESS, NDIS_STATUS_RESOURCES, NDIS_STATUS_ADAPTER_NOT_FOUND,
      NDIS_STATUS_FAILURE, static_cast<NDIS_STATUS>(STATUS_INVALID_PARAMETER)};
  for (std::uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::Adapter& adapter = ndis.AddAdapter();
      simulation.faults().FailNth(simulation.faults().allocations() + n);
      NDIS_STATUS status = ndis.Initialize(adapter);
      if (n <= resourceAllocations) {
        EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
      } else if (n == resourceAllocations + 1) {
        EXPECT_EQ(status, NDIS_STATUS_ADAPTER_NOT_FOUND);
      }
      EXPECT_TRUE(partStatuses.count(status)) << std::hex << status;
      if (status == NDIS_STATUS_SUCCESS) {
        ndis.Halt(adapter);
      } else {
        ExpectCleanFailure(simulation, adapter);
      }
      EXPECT_TRUE(WorkerThreadsEnded(simulation));
    }, 0);
  }
}

TEST_F(AdapterLifecycle, ReleasingResourcesTwiceFreesNothingTwice) {
  Run([&] {
    auto device = std::make_unique<IrDevice>();
    ASSERT_EQ(SetupResources(device.get()), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(device->targetSpeed, kSpeed9600);
    EXPECT_EQ(device->applyTurnaround, 1);
    ReleaseResources(device.get());
    ReleaseResources(device.get());
    EXPECT_EQ(device->txBuffer, nullptr);
    EXPECT_EQ(device->readBuffer, nullptr);
    EXPECT_EQ(device->targetSpeed, nullptr);
    EXPECT_EQ(sim().pool().CheckLeaks("after the release"), 0u);
  });
}

}  // namespace
}  // namespace sirtest
