// The host's NDIS packets and buffers: pool limits, fault injection, chains and their
// counts, media-specific information, and the verifier's checks on the descriptors.
#include "host/ndis/packets.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "tests/support/sim_test.h"

namespace {

constexpr ULONG kPage = 4096;

class NdisPackets : public sirtest::SimTest {};

NDIS_HANDLE MakePacketPool(UINT count) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE pool = nullptr;
  NdisAllocatePacketPool(&status, &pool, count, 16);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  return pool;
}

NDIS_HANDLE MakeBufferPool(UINT count) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE pool = nullptr;
  NdisAllocateBufferPool(&status, &pool, count);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  return pool;
}

PNDIS_PACKET MakePacket(NDIS_HANDLE pool, NDIS_STATUS expected = NDIS_STATUS_SUCCESS) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  PNDIS_PACKET packet = reinterpret_cast<PNDIS_PACKET>(1);
  NdisAllocatePacket(&status, &packet, pool);
  EXPECT_EQ(status, expected);
  return packet;
}

PNDIS_BUFFER MakeBuffer(NDIS_HANDLE pool, void* address, UINT length) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  PNDIS_BUFFER buffer = nullptr;
  NdisAllocateBuffer(&status, &buffer, pool, address, length);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  return buffer;
}

TEST_F(NdisPackets, PacketPoolHandsOutExactlyItsDescriptors) {
  Run([&] {
    NDIS_HANDLE pool = MakePacketPool(3);
    PNDIS_PACKET packets[3] = {MakePacket(pool), MakePacket(pool), MakePacket(pool)};
    EXPECT_EQ(MakePacket(pool, NDIS_STATUS_RESOURCES), nullptr);
    EXPECT_EQ(host::ndis::PacketsInUse(pool), 3u);

    NdisFreePacket(packets[1]);
    PNDIS_PACKET again = MakePacket(pool);
    EXPECT_EQ(again, packets[1]) << "a freed descriptor is handed out again";

    // A fresh packet: NDIS's own, empty, no out-of-band values, reserved areas not zeroed.
    EXPECT_EQ(again->Private.Pool, pool);
    EXPECT_EQ(again->Private.NdisPacketFlags, fPACKET_ALLOCATED_BY_NDIS);
    EXPECT_EQ(again->MiniportReserved[0], 0xCD);
    UINT physical = 9, count = 9, total = 9;
    PNDIS_BUFFER first = reinterpret_cast<PNDIS_BUFFER>(1);
    NdisQueryPacket(again, &physical, &count, &first, &total);
    EXPECT_EQ(physical, 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(host::ndis::PacketHeaderSize(again), 0u);

    for (PNDIS_PACKET packet : {packets[0], again, packets[2]}) NdisFreePacket(packet);
    NdisFreePacketPool(pool);
    EXPECT_EQ(host::ndis::CheckLeaks("end"), 0u);
  });
}

TEST_F(NdisPackets, BufferPoolCountIsNoLimit) {
  Run([&] {
    NDIS_HANDLE pool = MakeBufferPool(2);
    UCHAR data[8] = {};
    std::vector<PNDIS_BUFFER> buffers;
    for (int i = 0; i < 5; ++i) buffers.push_back(MakeBuffer(pool, data, sizeof data));
    EXPECT_EQ(host::ndis::BuffersInUse(pool), 5u);
    for (PNDIS_BUFFER buffer : buffers) NdisFreeBuffer(buffer);
    NdisFreeBufferPool(pool);
  });
}

TEST_F(NdisPackets, EveryAllocationCallAsksTheFaultInjector) {
  struct Case {
    const char* name;
    std::function<NDIS_STATUS(NDIS_HANDLE packetPool, NDIS_HANDLE bufferPool)> call;
    NDIS_STATUS status;
  };
  UCHAR data[4] = {};
  const Case cases[] = {
      {"NdisAllocatePacketPool",
       [](NDIS_HANDLE, NDIS_HANDLE) {
         NDIS_STATUS status;
         NDIS_HANDLE pool = reinterpret_cast<NDIS_HANDLE>(1);
         NdisAllocatePacketPool(&status, &pool, 4, 16);
         EXPECT_EQ(pool, nullptr);
         return status;
       },
       NDIS_STATUS_RESOURCES},
      {"NdisAllocateBufferPool",
       [](NDIS_HANDLE, NDIS_HANDLE) {
         NDIS_STATUS status;
         NDIS_HANDLE pool = reinterpret_cast<NDIS_HANDLE>(1);
         NdisAllocateBufferPool(&status, &pool, 4);
         EXPECT_EQ(pool, nullptr);
         return status;
       },
       NDIS_STATUS_RESOURCES},
      {"NdisAllocatePacket",
       [](NDIS_HANDLE packetPool, NDIS_HANDLE) {
         NDIS_STATUS status;
         PNDIS_PACKET packet = reinterpret_cast<PNDIS_PACKET>(1);
         NdisAllocatePacket(&status, &packet, packetPool);
         EXPECT_EQ(packet, nullptr);
         return status;
       },
       NDIS_STATUS_RESOURCES},
      {"NdisAllocateBuffer",
       [&data](NDIS_HANDLE, NDIS_HANDLE bufferPool) {
         NDIS_STATUS status;
         PNDIS_BUFFER buffer = reinterpret_cast<PNDIS_BUFFER>(1);
         NdisAllocateBuffer(&status, &buffer, bufferPool, data, sizeof data);
         EXPECT_EQ(buffer, nullptr);
         return status;
       },
       NDIS_STATUS_FAILURE},
  };
  Run([&] {
    NDIS_HANDLE packetPool = MakePacketPool(4);
    NDIS_HANDLE bufferPool = MakeBufferPool(4);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      sim().faults().FailNth(sim().faults().allocations() + 1);
      EXPECT_EQ(c.call(packetPool, bufferPool), c.status);
    }
    EXPECT_EQ(sim().faults().injected(), 4u);
    EXPECT_EQ(host::ndis::PacketsInUse(packetPool), 0u);
    EXPECT_EQ(host::ndis::BuffersInUse(bufferPool), 0u);
    NdisFreeBufferPool(bufferPool);
    NdisFreePacketPool(packetPool);
    EXPECT_EQ(host::ndis::CheckLeaks("end"), 0u);
  });
}

TEST_F(NdisPackets, BufferOffsetsAndPageSpans) {
  struct Case {
    ULONG offset;
    UINT length;
    ULONG pages;
  };
  const Case cases[] = {{0, 0, 1},     {0, 1, 1},        {0, kPage, 1}, {kPage - 1, 1, 1},
                        {kPage - 1, 2, 2}, {100, 2 * kPage, 3}, {kPage, 1, 1}};
  std::unique_ptr<UCHAR, decltype(&std::free)> region(
      static_cast<UCHAR*>(std::aligned_alloc(kPage, 4 * kPage)), &std::free);
  Run([&] {
    NDIS_HANDLE pool = MakeBufferPool(1);
    for (const Case& c : cases) {
      SCOPED_TRACE("offset " + std::to_string(c.offset) + " length " + std::to_string(c.length));
      PNDIS_BUFFER buffer = MakeBuffer(pool, region.get() + c.offset, c.length);
      PVOID address = nullptr;
      UINT length = 0, offset = 0;
      NdisQueryBuffer(buffer, &address, &length);
      EXPECT_EQ(address, region.get() + c.offset);
      EXPECT_EQ(length, c.length);
      NdisQueryBufferOffset(buffer, &offset, &length);
      EXPECT_EQ(offset, c.offset % kPage);
      EXPECT_EQ(NDIS_BUFFER_TO_SPAN_PAGES(buffer), c.pages);
      NdisFreeBuffer(buffer);
    }
    NdisFreeBufferPool(pool);
  });
}

TEST_F(NdisPackets, ChainsAtFrontAndBackAndRecountsAfterEachChange) {
  std::unique_ptr<UCHAR, decltype(&std::free)> region(
      static_cast<UCHAR*>(std::aligned_alloc(kPage, 4 * kPage)), &std::free);
  for (ULONG i = 0; i < 4 * kPage; ++i) region.get()[i] = static_cast<UCHAR>(i);
  Run([&] {
    NDIS_HANDLE packetPool = MakePacketPool(1);
    NDIS_HANDLE bufferPool = MakeBufferPool(3);
    PNDIS_PACKET packet = MakePacket(packetPool);
    PNDIS_BUFFER a = MakeBuffer(bufferPool, region.get() + 10, 5);                 // 1 page
    PNDIS_BUFFER b = MakeBuffer(bufferPool, region.get() + kPage - 2, 4);          // 2 pages
    PNDIS_BUFFER c = MakeBuffer(bufferPool, region.get() + 2 * kPage, 0);          // empty
    host::ndis::ChainBufferAtBack(packet, b);
    NdisChainBufferAtFront(packet, a);
    host::ndis::ChainBufferAtBack(packet, c);

    UINT physical = 0, count = 0, total = 0;
    PNDIS_BUFFER first = nullptr;
    NdisQueryPacket(packet, &physical, &count, &first, &total);
    EXPECT_EQ(first, a);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(physical, 4u);
    EXPECT_EQ(total, 9u);
    PNDIS_BUFFER next = nullptr;
    NdisGetNextBuffer(a, &next);
    EXPECT_EQ(next, b);
    EXPECT_EQ(host::ndis::PacketBytes(packet),
              (std::vector<UCHAR>{10, 11, 12, 13, 14, 0xFE, 0xFF, 0x00, 0x01}));

    PNDIS_BUFFER taken = nullptr;
    NdisUnchainBufferAtFront(packet, &taken);
    EXPECT_EQ(taken, a);
    EXPECT_EQ(a->Next, nullptr);
    NdisQueryPacket(packet, nullptr, &count, &first, &total);
    EXPECT_EQ(first, b);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(total, 4u);
    NdisUnchainBufferAtFront(packet, &taken);
    NdisUnchainBufferAtFront(packet, &taken);
    EXPECT_EQ(taken, c);
    NdisUnchainBufferAtFront(packet, &taken);
    EXPECT_EQ(taken, nullptr) << "an empty chain yields nothing";
    EXPECT_EQ(packet->Private.Tail, nullptr);
    // The emptied packet takes a chain at its front again.
    NdisChainBufferAtFront(packet, c);
    EXPECT_EQ(packet->Private.Tail, c);

    NdisUnchainBufferAtFront(packet, &taken);
    for (PNDIS_BUFFER buffer : {a, b, c}) NdisFreeBuffer(buffer);
    NdisFreePacket(packet);
    NdisFreeBufferPool(bufferPool);
    NdisFreePacketPool(packetPool);
  });
}

// NDIS yields media-specific information only for a packet whose flags say that NDIS
// allocated it and that it carries some.
TEST_F(NdisPackets, MediaSpecificInformationNeedsBothFlags) {
  struct Case {
    UCHAR flags;
    bool visible;
  };
  const Case cases[] = {{fPACKET_ALLOCATED_BY_NDIS | fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO, true},
                        {fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO, false},
                        {fPACKET_ALLOCATED_BY_NDIS, false},
                        {0, false}};
  Run([&] {
    NDIS_HANDLE pool = MakePacketPool(1);
    PNDIS_PACKET packet = MakePacket(pool);
    UCHAR information[20] = {};
    PVOID seen = nullptr;
    UINT size = 99;
    NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(packet, &seen, &size);
    EXPECT_EQ(seen, nullptr) << "a fresh packet has none";
    EXPECT_EQ(size, 0u);
    host::ndis::SetPacketMediaSpecificInfo(packet, information, sizeof information);
    for (const Case& c : cases) {
      SCOPED_TRACE("flags " + std::to_string(c.flags));
      packet->Private.NdisPacketFlags = c.flags;
      NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(packet, &seen, &size);
      EXPECT_EQ(seen, c.visible ? information : nullptr);
      EXPECT_EQ(size, c.visible ? sizeof information : 0u);
    }
    NDIS_SET_PACKET_HEADER_SIZE(packet, 2);
    EXPECT_EQ(host::ndis::PacketHeaderSize(packet), 2u);
    host::ndis::SetPacketStatus(packet, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(packet), NDIS_STATUS_RESOURCES);
    NdisFreePacket(packet);
    NdisFreePacketPool(pool);
  });
}

TEST_F(NdisPackets, PoolFreedWithDescriptorsOutIsReported) {
  ExpectFinding(host::rule::kNdisPacketPoolInUse);
  ExpectFinding(host::rule::kNdisBufferPoolInUse);
  Run([&] {
    NDIS_HANDLE packetPool = MakePacketPool(2);
    NDIS_HANDLE bufferPool = MakeBufferPool(2);
    MakePacket(packetPool);
    UCHAR data[4] = {};
    MakeBuffer(bufferPool, data, sizeof data);
    NdisFreePacketPool(packetPool);
    NdisFreeBufferPool(bufferPool);
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisPacketPoolInUse), 1u);
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisBufferPoolInUse), 1u);
}

TEST_F(NdisPackets, PoolsLeftAtACheckpointAreReported) {
  ExpectFinding(host::rule::kNdisPoolLeak);
  Run([&] {
    NDIS_HANDLE packetPool = MakePacketPool(2);
    NDIS_HANDLE bufferPool = MakeBufferPool(2);
    EXPECT_EQ(host::ndis::CheckLeaks("adapter halted"), 2u);
    NdisFreePacketPool(packetPool);
    EXPECT_EQ(host::ndis::CheckLeaks("adapter halted"), 1u);
    NdisFreeBufferPool(bufferPool);
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisPoolLeak), 3u);
}

TEST_F(NdisPackets, DescriptorsFreedTwiceAreReported) {
  ExpectFinding(host::rule::kNdisUnknownDescriptor);
  Run([&] {
    NDIS_HANDLE packetPool = MakePacketPool(1);
    NDIS_HANDLE bufferPool = MakeBufferPool(1);
    PNDIS_PACKET packet = MakePacket(packetPool);
    UCHAR data[4] = {};
    PNDIS_BUFFER buffer = MakeBuffer(bufferPool, data, sizeof data);
    NdisFreePacket(packet);
    NdisFreePacket(packet);
    NdisFreeBuffer(buffer);
    NdisFreeBuffer(buffer);
    NdisFreeBufferPool(bufferPool);
    NdisFreeBufferPool(bufferPool);
    NdisFreePacketPool(packetPool);
    NdisFreePacketPool(packetPool);
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisUnknownDescriptor), 4u);
}

}  // namespace
