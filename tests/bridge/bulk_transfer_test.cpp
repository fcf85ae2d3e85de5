// Bulk transfers: the synchronous write, the asynchronous write and read with their
// completion, and cancellation, including a completion that races the cancel.
#include <gmock/gmock.h>

#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "host/kernel/irp.h"
#include "tests/bridge/bridge_fixture.h"

namespace sirtest {
namespace {

using host::devices::BridgeEvent;
using host::usb::Delivery;
using host::usb::RequestKind;
using ::testing::ElementsAre;

// What the caller's completion handler saw; it owns the IRP and frees it.
struct HandlerLog {
  struct Call {
    const char* who;
    NTSTATUS status;
    ULONG_PTR information;
  };
  std::vector<Call> calls;
};

struct Handler {
  HandlerLog* log;
  const char* who;
};

NTSTATUS RecordAndFree(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* handler = static_cast<Handler*>(context);
  handler->log->calls.push_back({handler->who, irp->IoStatus.Status, irp->IoStatus.Information});
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class BulkTransferTest : public BridgeTest {
 protected:
  HandlerLog log;
  Handler reader{&log, "read"};
  Handler writer{&log, "write"};
  UCHAR buffer[2048] = {};
  BulkStatusBlock readStatus{};
  BulkStatusBlock writeStatus{};

  NTSTATUS Read(BridgeHandle bridge, ULONG length = sizeof buffer) {
    return BulkReadAsync(bridge, buffer, length, RecordAndFree, &reader, &readStatus);
  }
};

TEST_F(BulkTransferTest, ReadOf37BytesFillsInformationAndStatusBlock) {
  std::vector<std::uint8_t> bytes(37);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    SetBaudRate(bridge, 115200);
    EXPECT_EQ(Read(bridge), STATUS_PENDING);
    EXPECT_NE(bridge->readIrp, nullptr);
    FeedSerial(bytes, 115200);
    ASSERT_TRUE(sim().RunUntil([&] { return !log.calls.empty(); }, sim().Now() + host::kSecond));
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].status, STATUS_SUCCESS);
    EXPECT_EQ(log.calls[0].information, 37u);
    EXPECT_EQ(readStatus.status, 0u);
    EXPECT_EQ(readStatus.information, 37u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer));
    EXPECT_EQ(bridge->inCompletions, 1u);
    EXPECT_EQ(bridge->readIrp, nullptr);
    Release(bridge);
  });
}

TEST_F(BulkTransferTest, WriteSendsBytesAndCountsItsCompletion) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    const char frame[] = "\xC0\x01\x02\xC1";
    EXPECT_EQ(BulkWriteAsync(bridge, frame, 4, RecordAndFree, &writer, &writeStatus),
              STATUS_PENDING);
    EXPECT_NE(bridge->writeIrp, nullptr);
    sim().RunUntil([&] { return !log.calls.empty(); });
    EXPECT_EQ(writeStatus.status, 0u);
    EXPECT_EQ(writeStatus.information, 4u);
    EXPECT_EQ(bridge->outCompletions, 1u);
    EXPECT_EQ(bridge->writeIrp, nullptr);
    EXPECT_THAT(Traffic(4), ElementsAre("bulk-out c0 01 02 c1 @9600"));
    Release(bridge);
  });
}

TEST_F(BulkTransferTest, CancelledReadStillCompletesAndCounts) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    EXPECT_EQ(Read(bridge), STATUS_PENDING);
    EXPECT_EQ(CancelBulkTransfers(bridge), STATUS_SUCCESS);
    EXPECT_EQ(bridge->readIrp, nullptr);
    sim().RunUntil([&] { return !log.calls.empty(); });
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].status, STATUS_CANCELLED);
    EXPECT_EQ(readStatus.status, static_cast<ULONG>(STATUS_CANCELLED));
    EXPECT_EQ(bridge->inCompletions, 1u);
    Release(bridge);
  });
}

TEST_F(BulkTransferTest, OneCancelEndsWriteAndReadWriteFirst) {
  lower.SetDelivery(RequestKind::kBulkOut, Delivery::kNever);
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    EXPECT_EQ(CancelBulkTransfers(bridge), STATUS_SUCCESS);  // nothing outstanding
    EXPECT_EQ(BulkWriteAsync(bridge, "abc", 3, RecordAndFree, &writer, &writeStatus),
              STATUS_PENDING);
    EXPECT_EQ(Read(bridge), STATUS_PENDING);
    ASSERT_NE(bridge->writeIrp, nullptr);
    ASSERT_NE(bridge->readIrp, nullptr);
    EXPECT_NE(bridge->writeIrp, bridge->readIrp);
    CancelBulkTransfers(bridge);
    EXPECT_EQ(bridge->writeIrp, nullptr);
    EXPECT_EQ(bridge->readIrp, nullptr);
    sim().RunUntil([&] { return log.calls.size() == 2; });
    EXPECT_STREQ(log.calls[0].who, "write");
    EXPECT_STREQ(log.calls[1].who, "read");
    EXPECT_EQ(log.calls[0].status, STATUS_CANCELLED);
    EXPECT_EQ(log.calls[1].status, STATUS_CANCELLED);
    EXPECT_EQ(bridge->inCompletions, 1u);
    EXPECT_EQ(bridge->outCompletions, 1u);
    Release(bridge);
  });
}

TEST_F(BulkTransferTest, ReadOnBridgeNotStartedIsRefusedAndSendsNothing) {
  Run([&] {
    BridgeHandle bridge = CreateBridge(lower.device());
    std::size_t requests = lower.requests().size();
    EXPECT_EQ(Read(bridge), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BulkWriteAsync(bridge, "a", 1, RecordAndFree, &writer, &writeStatus),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BridgeWrite(bridge, "a", 1), STATUS_UNSUCCESSFUL);  // no pipe yet
    EXPECT_EQ(lower.requests().size(), requests);
    EXPECT_TRUE(log.calls.empty());
    DestroyBridge(bridge);
    ExpectNothingLeft();
  });
}

TEST_F(BulkTransferTest, CompletionInsideTheCallRunsHandlerBeforeItReturns) {
  lower.SetDelivery(RequestKind::kBulkIn, Delivery::kAtOnce);
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    FeedSerial({1, 2, 3, 4}, 9600);
    sim().RunFor(10 * host::kMillisecond);  // the bytes wait in the bridge's FIFO
    ASSERT_EQ(model.bufferedBytes(), 4u);
    EXPECT_EQ(Read(bridge, 4), STATUS_SUCCESS);
    ASSERT_EQ(log.calls.size(), 1u);  // already ran
    EXPECT_EQ(log.calls[0].information, 4u);
    EXPECT_EQ(bridge->readIrp, nullptr);
    EXPECT_EQ(bridge->inCompletions, 1u);
    Release(bridge);
  });
}

struct AllocationCase {
  const char* what;
  std::uint64_t nth;  // counted from the transfer's first allocation
};

class BulkAllocationTest : public BulkTransferTest,
                           public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(BulkAllocationTest, NoMemoryFailsWithNothingSentOrKept) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    sim().RunFor(host::kMillisecond);
    std::size_t requests = lower.requests().size();
    sim().faults().FailNth(sim().faults().allocations() + GetParam().nth);
    EXPECT_EQ(Read(bridge), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(lower.requests().size(), requests);
    EXPECT_EQ(bridge->readIrp, nullptr);
    EXPECT_TRUE(log.calls.empty());
    Release(bridge);
  });
}

INSTANTIATE_TEST_SUITE_P(Allocations, BulkAllocationTest,
                         ::testing::Values(AllocationCase{"Urb", 1}, AllocationCase{"Context", 2},
                                           AllocationCase{"Irp", 3}),
                         [](const auto& test) { return std::string(test.param.what); });

// Another processor completes the read just as CancelBulkTransfers cancels it: the IRP
// must still be alive for IoCancelIrp, and the completion must still run exactly once.
TEST_F(BulkTransferTest, ReadCompletingDuringTheCancelIsNotFreedUnderIt) {
  lower.SetDelivery(RequestKind::kBulkIn, Delivery::kAtOnce);
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    EXPECT_EQ(Read(bridge, 2), STATUS_PENDING);
    host::SetBeforeCancelHook([&](PIRP) {
      model.ReceiveSerial(0x55, 9600);
      model.ReceiveSerial(0xAA, 9600);  // fills the read: it completes right here
    });
    CancelBulkTransfers(bridge);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].status, STATUS_SUCCESS);
    EXPECT_EQ(log.calls[0].information, 2u);
    EXPECT_EQ(buffer[0], 0x55);
    EXPECT_EQ(bridge->inCompletions, 1u);
    EXPECT_EQ(bridge->readIrp, nullptr);
    Release(bridge);
  });
}

TEST_F(BulkTransferTest, SynchronousWriteReportsTheWritesOwnStatus) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    std::size_t mark = model.events().size();
    EXPECT_EQ(BridgeWrite(bridge, "\x10", 1), STATUS_SUCCESS);
    EXPECT_THAT(Traffic(mark), ElementsAre("bulk-out 10 @9600"));

    lower.StallNext(RequestKind::kBulkOut);
    EXPECT_EQ(BridgeWrite(bridge, "\x10", 1), STATUS_UNSUCCESSFUL);

    lower.SetDelivery(RequestKind::kBulkOut, Delivery::kNever);
    host::VirtualTime before = sim().Now();
    EXPECT_EQ(BridgeWrite(bridge, "\x10", 1), STATUS_CANCELLED);  // after the time-out
    EXPECT_GE(sim().Now() - before, 3 * host::kSecond);
    Release(bridge);
  });
}

}  // namespace
}  // namespace sirtest
