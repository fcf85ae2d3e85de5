#include "tests/host/medium_fixture.h"

#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "host/kernel/irp.h"
#include "transceiver/transceiver.h"

namespace sirtest {

using host::devices::TimedByte;

void MediumTest::BringUp(AdapterHardware& adapter, ULONG speed) {
  BridgeHandle bridge = CreateBridge(adapter.lower.device());
  ASSERT_TRUE(IsUsableBridge(bridge));
  up_.push_back(&adapter);
  adapter.device.bridge = bridge;
  ASSERT_TRUE(StartBridge(bridge));
  ASSERT_EQ(SetBaudRate(bridge, 9600), STATUS_SUCCESS);
  ASSERT_EQ(SetLineFormat(bridge, 0, 0, 8), STATUS_SUCCESS);
  ASSERT_EQ(TransceiverPowerOn(bridge), STATUS_SUCCESS);
  adapter.device.currentSpeed = 0;
  adapter.device.targetSpeed = FindSpeedRow(speed);
  ASSERT_EQ(IrSetLinkSpeed(&adapter.device), STATUS_SUCCESS);
  ASSERT_EQ(adapter.transceiver.infraredSpeed(), speed);
  ASSERT_EQ(adapter.model.lineCoding().rate, speed);
}

void MediumTest::ReleaseAll() {
  for (AdapterHardware* adapter : up_) {
    EXPECT_TRUE(StopBridge(adapter->device.bridge));
    EXPECT_TRUE(DestroyBridge(adapter->device.bridge));
    adapter->device.bridge = nullptr;
  }
  up_.clear();
  sim().RunFor(10 * host::kMillisecond);  // let completions already due finish
  EXPECT_EQ(sim().pool().CheckLeaks("end of test"), 0u);
  EXPECT_EQ(host::CheckIrpLeaks("end of test"), 0u);
  EXPECT_EQ(a.lower.pendingCount(), 0u);
  EXPECT_EQ(b.lower.pendingCount(), 0u);
}

NTSTATUS MediumTest::WriteDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  static_cast<PendingWrite*>(context)->done = true;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void MediumTest::StartWrite(AdapterHardware& adapter, std::vector<std::uint8_t> bytes) {
  PendingWrite& write = writes_.emplace_back();
  write.bytes = std::move(bytes);
  NTSTATUS status = BulkWriteAsync(adapter.device.bridge, write.bytes.data(),
                                   static_cast<ULONG>(write.bytes.size()), WriteDone, &write,
                                   &write.status);
  EXPECT_EQ(status, STATUS_PENDING);
}

void MediumTest::FinishWrites() {
  bool finished = sim().RunUntil(
      [&] {
        for (const PendingWrite& write : writes_) {
          if (!write.done) return false;
        }
        return true;
      },
      sim().Now() + 10 * host::kSecond);
  ASSERT_TRUE(finished);
  for (const PendingWrite& write : writes_) {
    EXPECT_EQ(write.status.status, 0u);
    EXPECT_EQ(write.status.information, write.bytes.size());
  }
  writes_.clear();
}

host::VirtualTime MediumTest::Write(AdapterHardware& adapter, std::vector<std::uint8_t> bytes) {
  StartWrite(adapter, std::move(bytes));
  FinishWrites();
  return LastBulkOutStart(adapter);
}

host::VirtualTime MediumTest::LastBulkOutStart(const AdapterHardware& adapter) {
  auto writes = adapter.model.EventsOf(host::devices::BridgeEvent::Type::kBulkOut);
  EXPECT_FALSE(writes.empty());
  return writes.empty() ? 0 : writes.back().time;
}

std::vector<std::uint8_t> Values(const std::vector<TimedByte>& bytes) {
  std::vector<std::uint8_t> values;
  for (const TimedByte& byte : bytes) values.push_back(byte.value);
  return values;
}

std::vector<host::VirtualTime> Times(const std::vector<TimedByte>& bytes) {
  std::vector<host::VirtualTime> times;
  for (const TimedByte& byte : bytes) times.push_back(byte.time);
  return times;
}

std::vector<host::VirtualTime> CharacterEnds(host::VirtualTime start, std::size_t count,
                                             std::uint32_t rate) {
  std::vector<host::VirtualTime> times;
  for (std::size_t i = 0; i < count; ++i) times.push_back(host::devices::CharacterEnd(start, i, rate));
  return times;
}

}  // namespace sirtest
