// The bridge's lifecycle: the device-descriptor check, configuration, start and stop,
// synchronous requests with their time-out, and the refusal of a failed bridge.
#include <gmock/gmock.h>

#include <functional>

#include "bridge/bulk_transfer.h"
#include "bridge/interrupt_pipe.h"
#include "bridge/line_control.h"
#include "bridge/vendor_id.h"
#include "host/kernel/irp.h"
#include "tests/bridge/bridge_fixture.h"

namespace sirtest {
namespace {

using host::usb::Delivery;
using host::usb::RequestKind;
using ::testing::ElementsAre;

class BridgeDeviceTest : public BridgeTest {};

TEST_F(BridgeDeviceTest, StartConfiguresAndPollsStopUndoesBoth) {
  Run([&] {
    BridgeHandle bridge = CreateBridge(lower.device());
    ASSERT_TRUE(IsUsableBridge(bridge));
    EXPECT_FALSE(bridge->started);
    EXPECT_EQ(bridge->lowerDevice, lower.device());
    EXPECT_THAT(Traffic(), ElementsAre("descriptor 1"));

    ASSERT_TRUE(StartBridge(bridge));
    EXPECT_TRUE(bridge->started);
    EXPECT_TRUE(model.configured());
    EXPECT_THAT(Traffic(1), ElementsAre("descriptor 2", "descriptor 2", "select"));
    ASSERT_NE(bridge->configurationDescriptor, nullptr);
    EXPECT_EQ(bridge->configurationDescriptor->wTotalLength, model.configurationDescriptor().size());
    ASSERT_NE(bridge->interfaceInfo, nullptr);
    EXPECT_EQ(bridge->interfaceInfo->NumberOfPipes, 3u);
    sim().RunFor(host::kMillisecond);
    EXPECT_NE(bridge->interruptRead, nullptr);
    EXPECT_EQ(model.pendingInterruptReads(), 1u);

    // With a status read in flight, the stop cancels it and waits one second.
    host::VirtualTime before = sim().Now();
    EXPECT_TRUE(StopBridge(bridge));
    EXPECT_GE(sim().Now() - before, host::kSecond);
    EXPECT_FALSE(bridge->started);
    EXPECT_FALSE(model.configured());
    EXPECT_EQ(bridge->interruptRead, nullptr);
    EXPECT_THAT(Traffic(4), ElementsAre("deconfigure"));
    EXPECT_NE(bridge->configurationDescriptor, nullptr);  // kept for the next start

    EXPECT_TRUE(DestroyBridge(bridge));
    ExpectNothingLeft();
  });
}

TEST_F(BridgeDeviceTest, FailedCreationGivesSentinelThatEveryRoutineRefuses) {
  model.deviceDescriptor().idVendor = static_cast<USHORT>(kBridgeVendorId + 1);
  Run([&] {
    BridgeHandle failed = CreateBridge(lower.device());
    EXPECT_EQ(failed, FailedBridge());
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(failed), 0xC0000008u);
    std::size_t requests = lower.requests().size();

    UCHAR byte = 0;
    BulkStatusBlock status{};
    USHORT line = 7;
    ULONG in = 7, out = 7;
    for (BridgeHandle refused : {failed, static_cast<BridgeHandle>(nullptr)}) {
      SCOPED_TRACE(refused == nullptr ? "null" : "sentinel");
      EXPECT_FALSE(StartBridge(refused));
      EXPECT_TRUE(StopBridge(refused));
      EXPECT_FALSE(DestroyBridge(refused));
      const std::function<NTSTATUS()> calls[] = {
          [&] { return SetBaudRate(refused, 9600); },
          [&] { return SetLineFormat(refused, 0, 0, 8); },
          [&] { return SetControlLines(refused, TRUE, TRUE); },
          [&] { return SetDtr(refused); },
          [&] { return ClearDtr(refused); },
          [&] { return SetRts(refused); },
          [&] { return ClearRts(refused); },
          [&] { return BridgeWrite(refused, &byte, 1); },
          [&] { return BulkWriteAsync(refused, &byte, 1, nullptr, nullptr, &status); },
          [&] { return BulkReadAsync(refused, &byte, 1, nullptr, nullptr, &status); },
          [&] { return CancelBulkTransfers(refused); },
          [&] { return GetBridgeStatus(refused, &line, &in, &out); },
      };
      for (const auto& call : calls) EXPECT_EQ(call(), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(line, 7);  // nothing written for a refused handle
    EXPECT_EQ(in, 7u);
    EXPECT_EQ(ClearBridgeStatus(failed), STATUS_SUCCESS);
    EXPECT_EQ(ClearBridgeStatus(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(lower.requests().size(), requests);  // nothing sent
    ExpectNothingLeft();
  });
}

class BridgeProductTest : public BridgeTest, public ::testing::WithParamInterface<USHORT> {};

TEST_P(BridgeProductTest, AnyProductOfOurVendorIsAccepted) {
  model.deviceDescriptor().idProduct = GetParam();
  Run([&] {
    BridgeHandle bridge = CreateBridge(lower.device());
    EXPECT_TRUE(IsUsableBridge(bridge));
    EXPECT_TRUE(DestroyBridge(bridge));
    ExpectNothingLeft();
  });
}
INSTANTIATE_TEST_SUITE_P(Products, BridgeProductTest, ::testing::Values(0x0000, 0x1234, 0xFFFF));

TEST_F(BridgeDeviceTest, UnansweredRequestIsCancelledAndTimesOutAfterThreeSeconds) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    lower.SetDelivery(RequestKind::kClassRequest, Delivery::kNever);
    EXPECT_EQ(SetBaudRate(bridge, 9600), STATUS_IO_TIMEOUT);
    // It returns only once the cancelled request has completed.
    const host::usb::BusRequest* request = nullptr;
    for (const auto& each : lower.requests()) {
      if (each.kind == RequestKind::kClassRequest) request = &each;
    }
    ASSERT_NE(request, nullptr);
    EXPECT_TRUE(request->cancelled);
    EXPECT_EQ(request->status, STATUS_CANCELLED);
    EXPECT_EQ(request->completed - request->submitted,
              3 * host::kSecond + host::usb::kCancelLatency);
    EXPECT_EQ(sim().Now(), request->completed);
    Release(bridge);
  });
}

TEST_F(BridgeDeviceTest, CreationOnDeviceThatNeverAnswersFailsAfterTheTimeOut) {
  lower.SetDelivery(RequestKind::kGetDescriptor, Delivery::kNever);
  Run([&] {
    EXPECT_EQ(CreateBridge(lower.device()), FailedBridge());
    EXPECT_GE(sim().Now(), 3 * host::kSecond);
    ExpectNothingLeft();
  });
}

// A pending request that then fails is reported with its own status, whether it
// completes later or inside the call.
struct FailureCase {
  const char* name;
  Delivery delivery;
  host::usb::UrbResult result;
};

class RequestFailureTest : public BridgeTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RequestFailureTest, ControlRequestReportsItsOwnFinalStatus) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    lower.SetDelivery(RequestKind::kClassRequest, GetParam().delivery);
    lower.FailNext(RequestKind::kClassRequest, GetParam().result);
    EXPECT_EQ(SetDtr(bridge), GetParam().result.status);
    EXPECT_EQ(SetDtr(bridge), STATUS_SUCCESS);  // the next one goes through
    Release(bridge);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RequestFailureTest,
    ::testing::Values(FailureCase{"StallLater", Delivery::kLater, host::usb::kUrbStall},
                      FailureCase{"StallAtOnce", Delivery::kAtOnce, host::usb::kUrbStall},
                      FailureCase{"GoneLater", Delivery::kLater, host::usb::kUrbDeviceGone}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(BridgeDeviceTest, FailedDescriptorRequestsFailCreationAndStart) {
  Run([&] {
    lower.StallNext(RequestKind::kGetDescriptor);
    EXPECT_EQ(CreateBridge(lower.device()), FailedBridge());

    BridgeHandle bridge = CreateBridge(lower.device());
    ASSERT_TRUE(IsUsableBridge(bridge));
    lower.StallNext(RequestKind::kGetDescriptor);  // the header read
    EXPECT_FALSE(StartBridge(bridge));
    lower.FailNext(RequestKind::kGetDescriptor, host::usb::kUrbSuccess);
    lower.StallNext(RequestKind::kGetDescriptor);  // the whole descriptor
    EXPECT_FALSE(StartBridge(bridge));
    EXPECT_EQ(bridge->configurationDescriptor, nullptr);
    lower.StallNext(RequestKind::kSelectConfiguration);
    EXPECT_FALSE(StartBridge(bridge));
    EXPECT_EQ(bridge->interfaceInfo, nullptr);
    EXPECT_FALSE(bridge->started);
    EXPECT_EQ(model.pendingInterruptReads(), 0u);
    DestroyBridge(bridge);
    ExpectNothingLeft();
  });
}

// Descriptors the device gets wrong are refused before they are used.
struct DescriptorCase {
  const char* name;
  std::function<void(host::devices::SerialBridge&)> spoil;
};

class BadDescriptorTest : public BridgeTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(BadDescriptorTest, StartFailsAndKeepsNothing) {
  GetParam().spoil(model);
  Run([&] {
    BridgeHandle bridge = CreateBridge(lower.device());
    ASSERT_TRUE(IsUsableBridge(bridge));
    EXPECT_FALSE(StartBridge(bridge));
    EXPECT_FALSE(bridge->started);
    EXPECT_EQ(bridge->interfaceInfo, nullptr);
    EXPECT_EQ(BridgeWrite(bridge, "x", 1), STATUS_UNSUCCESSFUL);  // no pipe to write to
    DestroyBridge(bridge);
    ExpectNothingLeft();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, BadDescriptorTest,
    ::testing::Values(
        DescriptorCase{"TotalLengthBelowHeader",
                       [](auto& model) { model.configurationDescriptor()[2] = 4; }},
        DescriptorCase{"TotalLengthBeyondWhatDeviceSends",
                       [](auto& model) { model.configurationDescriptor()[2] += 20; }},
        DescriptorCase{"ShortHeader",
                       [](auto& model) { model.configurationDescriptor().resize(6); }},
        DescriptorCase{"NoInterface",
                       [](auto& model) {
                         auto& bytes = model.configurationDescriptor();
                         bytes.resize(9);
                         bytes[2] = 9;
                       }},
        DescriptorCase{"TwoPipesOnly", [](auto& model) { model.SetEndpointCount(2); }}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(BridgeDeviceTest, StopWithoutStatusReadHasNoOneSecondWait) {
  lower.StallNext(RequestKind::kInterruptIn);  // polling stops at its first read
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    sim().RunFor(host::kMillisecond);
    ASSERT_EQ(bridge->interruptRead, nullptr);
    std::size_t mark = model.events().size();
    host::VirtualTime before = sim().Now();
    EXPECT_TRUE(StopBridge(bridge));
    EXPECT_LT(sim().Now() - before, 10 * host::kMillisecond);
    EXPECT_THAT(Traffic(mark), ElementsAre("deconfigure"));
    DestroyBridge(bridge);
    ExpectNothingLeft();
  });
}

TEST_F(BridgeDeviceTest, DeconfiguringNeverConfiguredBridgeSendsNothing) {
  Run([&] {
    BridgeHandle bridge = CreateBridge(lower.device());
    std::size_t requests = lower.requests().size();
    EXPECT_EQ(DeconfigureBridge(bridge), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(StopBridge(bridge));
    EXPECT_EQ(lower.requests().size(), requests);
    DestroyBridge(bridge);
    ExpectNothingLeft();
  });
}

TEST_F(BridgeDeviceTest, RestartReplacesDescriptorAndInterfaceCopy) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    EXPECT_TRUE(StopBridge(bridge));
    ASSERT_TRUE(StartBridge(bridge));
    EXPECT_TRUE(model.configured());
    sim().RunFor(host::kMillisecond);
    EXPECT_EQ(model.pendingInterruptReads(), 1u);
    Release(bridge);  // the first start's copies were freed on the way: no leak
  });
}

// Every allocation on the way up and down, failed in turn, fails cleanly: nothing is
// leaked and no request is left behind.
TEST(BridgeAllocationSweep, EveryFailedAllocationIsCleanedUp) {
  std::uint64_t allocations = 0;
  for (std::uint64_t fail = 0; fail == 0 || fail <= allocations; ++fail) {
    SCOPED_TRACE("failing allocation " + std::to_string(fail));
    host::Simulation simulation(0);
    simulation.verifier().SetHandler(
        [](const host::Violation& violation) { ADD_FAILURE() << violation.Describe(); });
    host::devices::SerialBridge model(simulation);
    host::usb::LowerDevice lower(simulation, model);
    simulation.Run([&] {
      if (fail != 0) simulation.faults().FailNth(fail);
      BridgeHandle bridge = CreateBridge(lower.device());
      if (IsUsableBridge(bridge)) {
        if (StartBridge(bridge)) {
          SetBaudRate(bridge, 9600);
          SetDtr(bridge);
          BridgeWrite(bridge, "ab", 2);
        }
        StopBridge(bridge);
        DestroyBridge(bridge);
      }
      simulation.RunFor(10 * host::kMillisecond);
      EXPECT_EQ(simulation.pool().CheckLeaks("after the sweep step"), 0u);
      EXPECT_EQ(host::CheckIrpLeaks("after the sweep step"), 0u);
      if (fail == 0) allocations = simulation.faults().allocations();
    });
  }
  EXPECT_GT(allocations, 10u);
}

}  // namespace
}  // namespace sirtest
