// The status pipe: notifications into lineStatus, renewal, stopping on errors, starts
// that never post a second read, and failures to allocate a read.
#include <gmock/gmock.h>

#include "bridge/interrupt_pipe.h"
#include "host/kernel/irp.h"
#include "tests/bridge/bridge_fixture.h"

namespace sirtest {
namespace {

using host::usb::RequestKind;

class InterruptPipeTest : public BridgeTest {
 protected:
  // A bridge configured but not polling yet.
  BridgeHandle ConfiguredBridge() {
    BridgeHandle bridge = CreateBridge(lower.device());
    EXPECT_EQ(SelectConfiguration(bridge), STATUS_SUCCESS);
    return bridge;
  }
  void Settle() { sim().RunFor(host::kMillisecond); }
};

struct NotificationCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  USHORT lineStatus;  // expected afterwards; 0x0100 was there before
};

class NotificationTest : public InterruptPipeTest,
                         public ::testing::WithParamInterface<NotificationCase> {};

TEST_P(NotificationTest, StoresWholeNotificationsAndRenewsTheRead) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    Settle();
    bridge->lineStatus = 0x0100;
    model.SendNotification(GetParam().bytes);
    Settle();
    EXPECT_EQ(bridge->lineStatus, GetParam().lineStatus);
    EXPECT_EQ(lower.CountOf(RequestKind::kInterruptIn), 2u);
    EXPECT_EQ(model.pendingInterruptReads(), 1u);
    EXPECT_NE(bridge->interruptRead, nullptr);
    Release(bridge);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Notifications, NotificationTest,
    ::testing::Values(
        NotificationCase{"Dsr", {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x02, 0x00}, 0x0002},
        NotificationCase{"HighByte", {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x41, 0x80}, 0x8041},
        NotificationCase{"NineBytes", {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x02}, 0x0100},
        NotificationCase{"HeaderOnly", {0xA1, 0x20, 0, 0, 0, 0, 2, 0}, 0x0100}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(InterruptPipeTest, LineStateChangeOfTheDeviceReachesLineStatus) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    Settle();
    model.SetSerialState(host::devices::kSerialStateDcd | host::devices::kSerialStateDsr);
    Settle();
    EXPECT_EQ(bridge->lineStatus, 0x0003);
    Release(bridge);
  });
}

TEST_F(InterruptPipeTest, FailedReadStopsPollingAndKeepsLineStatus) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    Settle();
    model.SetSerialState(host::devices::kSerialStateDsr);
    Settle();
    lower.Remove();  // the read in flight ends with the device gone
    Settle();
    EXPECT_EQ(bridge->interruptRead, nullptr);
    EXPECT_EQ(bridge->pollPosted, 0);
    EXPECT_EQ(lower.CountOf(RequestKind::kInterruptIn), 2u);  // not renewed
    EXPECT_EQ(bridge->lineStatus, host::devices::kSerialStateDsr);
    Release(bridge);
  });
}

TEST_F(InterruptPipeTest, StartWhileTheDpcIsQueuedQueuesNothingMore) {
  Run([&] {
    BridgeHandle bridge = ConfiguredBridge();
    EXPECT_EQ(StartInterruptPolling(bridge), STATUS_SUCCESS);
    EXPECT_EQ(StartInterruptPolling(bridge), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ResumeInterruptPolling(bridge), STATUS_UNSUCCESSFUL);
    Settle();
    EXPECT_EQ(lower.CountOf(RequestKind::kInterruptIn), 1u);
    EXPECT_NE(StopInterruptPolling(bridge), STATUS_UNSUCCESSFUL);
    DeconfigureBridge(bridge);
    DestroyBridge(bridge);
    ExpectNothingLeft();
  });
}

TEST_F(InterruptPipeTest, StartWithAReadPostedNeverPostsASecond) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    Settle();
    ASSERT_NE(bridge->interruptRead, nullptr);
    EXPECT_EQ(ResumeInterruptPolling(bridge), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(model.pendingInterruptReads(), 1u);
    EXPECT_EQ(lower.CountOf(RequestKind::kInterruptIn), 1u);
    Release(bridge);
  });
}

struct PostFailure {
  const char* what;
  std::uint64_t nth;  // counted from the DPC's first allocation: block, buffer, IRP
};

class PostFailureTest : public InterruptPipeTest,
                        public ::testing::WithParamInterface<PostFailure> {};

TEST_P(PostFailureTest, NothingIsPostedOrKeptAndALaterStartWorks) {
  Run([&] {
    BridgeHandle bridge = ConfiguredBridge();
    sim().faults().FailNth(sim().faults().allocations() + GetParam().nth);
    EXPECT_EQ(StartInterruptPolling(bridge), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(lower.CountOf(RequestKind::kInterruptIn), 0u);
    EXPECT_EQ(bridge->interruptRead, nullptr);
    EXPECT_EQ(sim().pool().LiveCount(kBridgeTag), 3u);  // record, descriptor, interface
    EXPECT_EQ(host::LiveIrpCount(), 0u);

    EXPECT_EQ(StartInterruptPolling(bridge), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(lower.CountOf(RequestKind::kInterruptIn), 1u);
    StopInterruptPolling(bridge);
    DeconfigureBridge(bridge);
    DestroyBridge(bridge);
    ExpectNothingLeft();
  });
}

INSTANTIATE_TEST_SUITE_P(Allocations, PostFailureTest,
                         ::testing::Values(PostFailure{"Block", 1}, PostFailure{"StatusBuffer", 2},
                                           PostFailure{"Irp", 3}),
                         [](const auto& test) { return std::string(test.param.what); });

// The status read completes on another processor just as the stop cancels it.
TEST_F(InterruptPipeTest, ReadCompletingDuringTheStopIsNotFreedUnderIt) {
  lower.SetDelivery(RequestKind::kInterruptIn, host::usb::Delivery::kAtOnce);
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    Settle();
    host::SetBeforeCancelHook(
        [&](PIRP) { model.SetSerialState(host::devices::kSerialStateDsr); });
    StopInterruptPolling(bridge);
    EXPECT_EQ(bridge->lineStatus, host::devices::kSerialStateDsr);
    Release(bridge);
  });
}

}  // namespace
}  // namespace sirtest
