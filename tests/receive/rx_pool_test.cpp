// The receive buffer pool: what the set-up builds, a failure at each of its allocations,
// and a release that frees everything once, however far the set-up got.
#include "receive/rx_pool.h"

#include <gtest/gtest.h>

#include "host/ndis/packets.h"
#include "tests/sir/sir_reference.h"
#include "tests/support/sim_test.h"

namespace sirtest {
namespace {

// Two pools, then a data area and a packet for each of the fourteen buffers, then the
// read buffer.
constexpr int kSetupAllocations = 2 + 2 * kRxBufferCount + 1;

std::vector<int> FreeListIndexes(IrDevice& device) {
  std::vector<int> indexes;
  for (PLIST_ENTRY link = device.rxFreeList.Flink; link != &device.rxFreeList;
       link = link->Flink) {
    indexes.push_back(static_cast<int>(CONTAINING_RECORD(link, RxBuffer, links) - device.rxBuffers));
  }
  return indexes;
}

class ReceivePool : public SimTest {};

TEST_F(ReceivePool, SetupBuildsFourteenFreeBuffersInOrder) {
  Run([&] {
    auto device = std::make_unique<IrDevice>();
    device->rxState = InFrame;
    device->rxFrameLength = 7;
    ASSERT_EQ(SetupReceivePool(device.get()), NDIS_STATUS_SUCCESS);

    EXPECT_EQ(FreeListIndexes(*device),
              (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    EXPECT_TRUE(IsListEmpty(&device->rxPendingList));
    EXPECT_EQ(device->rxCurrent, nullptr);
    EXPECT_EQ(device->rxState, Hunt);
    EXPECT_EQ(device->rxFrameLength, 0u);
    EXPECT_EQ(host::ndis::PacketsInUse(device->rxPacketPool), kRxBufferCount);
    EXPECT_EQ(host::ndis::BuffersInUse(device->rxBufferPool), 0u);
    for (const RxBuffer& buffer : device->rxBuffers) {
      const host::PoolAllocation* data = sim().pool().Find(buffer.data);
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(data->size, kRxBufferSize);
      EXPECT_EQ(data->tag, kDriverTag);
      EXPECT_EQ(data->kind, host::PoolKind::kNdis);
      EXPECT_EQ(Bytes(buffer.data, buffer.data + kRxBufferSize), Bytes(kRxBufferSize, 0))
          << "pool memory comes filled with 0xCD";
      EXPECT_EQ(buffer.dataLength, 0u);
      EXPECT_NE(buffer.packet, nullptr);
    }
    const host::PoolAllocation* read = sim().pool().Find(device->readBuffer);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->size, kReadBufferSize);
    EXPECT_EQ(read->tag, kDriverTag);
    EXPECT_EQ(read->kind, host::PoolKind::kExecutive);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(device->readBuffer) % 64, 0u) << "cache aligned";

    ReleaseReceivePool(device.get());
    EXPECT_EQ(sim().pool().LiveCount(), 0u);
    EXPECT_EQ(host::ndis::CheckLeaks("after the release"), 0u);
  });
}

// Each allocation of the set-up fails in turn: the set-up returns the status the failed
// call gave, and the release (run twice) frees what was built, each thing once.
TEST_F(ReceivePool, FailureAtEachAllocationIsReturnedAndReleasedCleanly) {
  Run([&] {
    for (int failing = 1; failing <= kSetupAllocations + 1; ++failing) {
      SCOPED_TRACE("allocation " + std::to_string(failing) + " fails");
      auto device = std::make_unique<IrDevice>();
      sim().faults().Reset();
      sim().faults().FailNth(failing);

      NDIS_STATUS status = SetupReceivePool(device.get());

      if (failing > kSetupAllocations) {
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS) << "the set-up makes exactly this many";
      } else {
        EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
        EXPECT_EQ(sim().faults().allocations(), static_cast<std::uint64_t>(failing))
            << "the set-up goes on after a failure";
        // Buffers whose packet was allocated are on the free list, in order.
        int built = failing <= 2 ? 0 : std::min<int>((failing - 3) / 2, kRxBufferCount);
        EXPECT_EQ(FreeListIndexes(*device).size(), static_cast<std::size_t>(built));
      }
      ReleaseReceivePool(device.get());
      ReleaseReceivePool(device.get());
      EXPECT_EQ(sim().pool().LiveCount(), 0u);
      EXPECT_EQ(host::ndis::CheckLeaks("after the release"), 0u);
      EXPECT_EQ(device->rxPacketPool, nullptr);
      EXPECT_EQ(device->rxBufferPool, nullptr);
      EXPECT_EQ(device->readBuffer, nullptr);
      for (const RxBuffer& buffer : device->rxBuffers) {
        EXPECT_EQ(buffer.packet, nullptr);
        EXPECT_EQ(buffer.data, nullptr);
      }
    }
  });
}

TEST_F(ReceivePool, ReleaseOfARecordNeverSetUpFreesNothing) {
  Run([&] {
    auto device = std::make_unique<IrDevice>();
    ReleaseReceivePool(device.get());
    EXPECT_TRUE(IsListEmpty(&device->rxFreeList));
  });
}

// A packet still with its frame's descriptor when the pool goes: the descriptor goes too.
TEST_F(ReceivePool, ReleaseFreesTheDescriptorOfAPacketStillDescribingAFrame) {
  Run([&] {
    auto device = std::make_unique<IrDevice>();
    ASSERT_EQ(SetupReceivePool(device.get()), NDIS_STATUS_SUCCESS);
    RxBuffer& buffer = device->rxBuffers[3];
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    PNDIS_BUFFER descriptor = nullptr;
    NdisAllocateBuffer(&status, &descriptor, device->rxBufferPool, buffer.data, 10);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisChainBufferAtFront(buffer.packet, descriptor);

    ReleaseReceivePool(device.get());
    EXPECT_EQ(host::ndis::CheckLeaks("after the release"), 0u);
  });
}

}  // namespace
}  // namespace sirtest
