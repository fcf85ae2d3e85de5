// The host's receive indication and its protocol stand-in: what each behaviour leaves in
// the packet, when the return handler runs, and the verifier's checks on returns.
#include <gtest/gtest.h>

#include <vector>

#include "host/kernel/scheduler.h"
#include "host/ndis/miniport_block.h"
#include "host/ndis/packets.h"
#include "tests/support/sim_test.h"

namespace {

// What the return handler saw, reached through the adapter context.
struct Returns {
  std::vector<PNDIS_PACKET> packets;
  std::vector<KIRQL> irqls;
  std::vector<bool> heldByProtocol;
};

void RecordReturn(NDIS_HANDLE context, PNDIS_PACKET packet) {
  auto* returns = static_cast<Returns*>(context);
  returns->packets.push_back(packet);
  returns->irqls.push_back(KeGetCurrentIrql());
  returns->heldByProtocol.push_back(host::ndis::IsHeldByProtocol(packet));
}

// One packet of three bytes, described by one buffer, from pools of its own.
class NdisIndication : public sirtest::SimTest {
 protected:
  void MakePacket() {
    NDIS_STATUS status;
    NdisAllocatePacketPool(&status, &packetPool_, 2, 16);
    NdisAllocateBufferPool(&status, &bufferPool_, 2);
    NdisAllocatePacket(&status, &packet_, packetPool_);
    NdisAllocateBuffer(&status, &buffer_, bufferPool_, bytes_, sizeof bytes_);
    NdisChainBufferAtFront(packet_, buffer_);
    NDIS_SET_PACKET_HEADER_SIZE(packet_, 2);
  }
  void FreePacket() {
    PNDIS_BUFFER buffer = nullptr;
    NdisUnchainBufferAtFront(packet_, &buffer);
    NdisFreeBuffer(buffer);
    NdisFreePacket(packet_);
    NdisFreeBufferPool(bufferPool_);
    NdisFreePacketPool(packetPool_);
  }
  void Indicate(host::ndis::MiniportBlock& block) {
    NdisMIndicateReceivePacket(block.handle(), &packet_, 1);
  }

  UCHAR bytes_[3] = {0x43, 0x13, 0x99};
  NDIS_HANDLE packetPool_ = nullptr;
  NDIS_HANDLE bufferPool_ = nullptr;
  PNDIS_PACKET packet_ = nullptr;
  PNDIS_BUFFER buffer_ = nullptr;
  Returns returns_;
};

TEST_F(NdisIndication, EachProtocolBehaviourLeavesItsStatus) {
  using Behaviour = void (*)(host::ndis::MiniportBlock&);
  struct Case {
    const char* name;
    Behaviour behave;
    NDIS_STATUS status;
    std::size_t held;
    std::size_t returnsDuringIndication;
  };
  const Case cases[] = {
      {"default", [](host::ndis::MiniportBlock&) {}, NDIS_STATUS_SUCCESS, 0, 0},
      {"keeps", [](host::ndis::MiniportBlock& b) { b.KeepPackets(); }, NDIS_STATUS_PENDING, 1, 0},
      {"hands back, success",
       [](host::ndis::MiniportBlock& b) { b.HandBackPackets(NDIS_STATUS_SUCCESS); },
       NDIS_STATUS_SUCCESS, 0, 0},
      {"hands back, resources",
       [](host::ndis::MiniportBlock& b) { b.HandBackPackets(NDIS_STATUS_RESOURCES); },
       NDIS_STATUS_RESOURCES, 0, 0},
      {"returns during the indication",
       [](host::ndis::MiniportBlock& b) { b.ReturnDuringIndication(); }, NDIS_STATUS_PENDING, 0,
       1},
      {"returns during the indication, success left",
       [](host::ndis::MiniportBlock& b) { b.ReturnDuringIndication(NDIS_STATUS_SUCCESS); },
       NDIS_STATUS_SUCCESS, 0, 1},
  };
  Run([&] {
    MakePacket();
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      returns_ = {};
      host::ndis::MiniportBlock& block = host::ndis::CreateMiniportBlock(&returns_, RecordReturn);
      c.behave(block);
      sim().RunFor(5 * host::kMillisecond);
      Indicate(block);

      EXPECT_EQ(NDIS_GET_PACKET_STATUS(packet_), c.status);
      EXPECT_EQ(block.held().size(), c.held);
      EXPECT_EQ(host::ndis::IsHeldByProtocol(packet_), c.held != 0);
      ASSERT_EQ(returns_.packets.size(), c.returnsDuringIndication);
      if (c.returnsDuringIndication != 0) {
        EXPECT_EQ(returns_.irqls[0], DISPATCH_LEVEL);
        EXPECT_FALSE(returns_.heldByProtocol[0]);
      }
      ASSERT_EQ(block.indications().size(), 1u);
      const host::ndis::Indication& indication = block.indications()[0];
      EXPECT_EQ(indication.packet, packet_);
      EXPECT_EQ(indication.bytes, (std::vector<UCHAR>{0x43, 0x13, 0x99}));
      EXPECT_EQ(indication.headerSize, 2u);
      EXPECT_EQ(indication.statusLeft, c.status);
      EXPECT_EQ(indication.time, sim().Now());
      block.ReturnAllHeld();
    }
    FreePacket();
  });
}

TEST_F(NdisIndication, KeptPacketComesBackThroughTheHandlerAtDispatchLevel) {
  Run([&] {
    MakePacket();
    host::ndis::MiniportBlock& block = host::ndis::CreateMiniportBlock(&returns_, RecordReturn);
    block.KeepPackets();
    Indicate(block);
    EXPECT_TRUE(returns_.packets.empty());
    block.ReturnPacket(packet_);
    EXPECT_EQ(returns_.packets, std::vector<PNDIS_PACKET>{packet_});
    EXPECT_EQ(returns_.irqls[0], DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(block.held().empty());
    FreePacket();
  });
}

TEST_F(NdisIndication, ReturnedTwiceIsReportedAndPassedOn) {
  ExpectFinding(host::rule::kNdisReturnedTwice);
  Run([&] {
    MakePacket();
    host::ndis::MiniportBlock& block = host::ndis::CreateMiniportBlock(&returns_, RecordReturn);
    block.KeepPackets();
    Indicate(block);
    block.ReturnPacket(packet_);
    block.ReturnPacket(packet_);
    EXPECT_EQ(returns_.packets.size(), 2u);
    FreePacket();
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisReturnedTwice), 1u);
}

TEST_F(NdisIndication, ReturnOfAPacketNotHeldIsReported) {
  ExpectFinding(host::rule::kNdisReturnNotIndicated);
  Run([&] {
    MakePacket();
    host::ndis::MiniportBlock& block = host::ndis::CreateMiniportBlock(&returns_, RecordReturn);
    block.ReturnPacket(packet_);  // never indicated
    Indicate(block);              // handed back at once
    block.ReturnPacket(packet_);
    FreePacket();
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisReturnNotIndicated), 2u);
}

TEST_F(NdisIndication, PacketTheProtocolHoldsIsNeitherIndicatedNorFreed) {
  ExpectFinding(host::rule::kNdisIndicateHeldPacket);
  ExpectFinding(host::rule::kNdisFreeHeldPacket);
  Run([&] {
    MakePacket();
    host::ndis::MiniportBlock& block = host::ndis::CreateMiniportBlock(&returns_, RecordReturn);
    block.KeepPackets();
    Indicate(block);
    Indicate(block);
    EXPECT_EQ(block.indications().size(), 1u) << "the second indication is refused";
    PNDIS_BUFFER buffer = nullptr;
    NdisUnchainBufferAtFront(packet_, &buffer);
    NdisFreeBuffer(buffer);
    NdisFreePacket(packet_);
    NdisFreeBufferPool(bufferPool_);
    NdisFreePacketPool(packetPool_);
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisIndicateHeldPacket), 1u);
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisFreeHeldPacket), 1u);
}

TEST_F(NdisIndication, UnknownAdapterHandleIsReported) {
  ExpectFinding(host::rule::kNdisUnknownAdapter);
  Run([&] {
    MakePacket();
    NdisMIndicateReceivePacket(&returns_, &packet_, 1);
    FreePacket();
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisUnknownAdapter), 1u);
}

// A handler that unchains the packet it is handed, as a driver that recycles at once.
void UnchainOnReturn(NDIS_HANDLE, PNDIS_PACKET packet) {
  PNDIS_BUFFER buffer = nullptr;
  NdisUnchainBufferAtFront(packet, &buffer);
}

TEST_F(NdisIndication, HandlerChangingThePacketDuringItsIndicationIsReported) {
  ExpectFinding(host::rule::kNdisPacketChangedInIndication);
  Run([&] {
    MakePacket();
    host::ndis::MiniportBlock& block = host::ndis::CreateMiniportBlock(nullptr, UnchainOnReturn);
    block.ReturnDuringIndication();
    Indicate(block);
    NdisChainBufferAtFront(packet_, buffer_);
    FreePacket();
  });
  EXPECT_EQ(sim().verifier().Count(host::rule::kNdisPacketChangedInIndication), 1u);
}

}  // namespace
