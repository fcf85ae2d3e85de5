#include "tests/receive/test_receiver.h"

#include <gtest/gtest.h>

#include "host/kernel/simulation.h"
#include "host/ndis/packets.h"
#include "receive/rx_indicate.h"
#include "receive/rx_pool.h"
#include "sir/sir_decoder.h"

namespace sirtest {

TestReceiver::TestReceiver()
    : device_(std::make_unique<IrDevice>()),
      block_(&host::ndis::CreateMiniportBlock(device_.get(), MiniportReturnPacket)),
      poolLiveBefore_(host::Simulation::Current().pool().LiveCount()),
      packetPoolsBefore_(host::ndis::LivePacketPools()),
      bufferPoolsBefore_(host::ndis::LiveBufferPools()) {
  device_->miniportHandle = block_->handle();
  device_->applyTurnaround = TRUE;
  EXPECT_EQ(SetupReceivePool(device_.get()), NDIS_STATUS_SUCCESS);
  PLIST_ENTRY first = ExfInterlockedRemoveHeadList(&device_->rxFreeList, &device_->rxLock);
  device_->rxCurrent = CONTAINING_RECORD(first, RxBuffer, links);
}

TestReceiver::~TestReceiver() {
  block_->ReturnAllHeld();
  ReleaseReceivePool(device_.get());
  EXPECT_EQ(host::Simulation::Current().pool().LiveCount(), poolLiveBefore_)
      << "receive memory left after the release";
  EXPECT_EQ(host::ndis::LivePacketPools(), packetPoolsBefore_);
  EXPECT_EQ(host::ndis::LiveBufferPools(), bufferPoolsBefore_);
}

NDIS_STATUS TestReceiver::Feed(const Bytes& bytes) {
  return SirDecodeBytes(device_.get(), bytes.data(), static_cast<ULONG>(bytes.size()));
}

std::vector<Bytes> TestReceiver::IndicatedPayloads() const {
  std::vector<Bytes> payloads;
  for (const host::ndis::Indication& indication : block_->indications()) {
    payloads.push_back(indication.bytes);
  }
  return payloads;
}

std::vector<int> TestReceiver::ListIndexes(const LIST_ENTRY& head) const {
  std::vector<int> indexes;
  for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
    indexes.push_back(IndexOf(CONTAINING_RECORD(const_cast<LIST_ENTRY*>(link), RxBuffer, links)));
  }
  return indexes;
}

std::vector<int> TestReceiver::FreeList() const { return ListIndexes(device_->rxFreeList); }
std::vector<int> TestReceiver::PendingList() const {
  return ListIndexes(device_->rxPendingList);
}
int TestReceiver::Current() const { return IndexOf(device_->rxCurrent); }

int TestReceiver::IndexOf(const RxBuffer* buffer) const {
  return buffer == nullptr ? -1 : static_cast<int>(buffer - device_->rxBuffers);
}

}  // namespace sirtest
