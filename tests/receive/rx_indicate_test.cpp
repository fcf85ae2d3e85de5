// The receive indication and the packet return: which buffer goes where after a good
// frame, a bad one, each protocol answer, a return during the indication, thirteen
// packets with NDIS, a return of a packet that is not pending, and a failed descriptor.
#include "receive/rx_indicate.h"

#include <gtest/gtest.h>

#include <functional>

#include "host/ndis/packets.h"
#include "tests/receive/test_receiver.h"
#include "tests/support/sim_test.h"

namespace sirtest {
namespace {

constexpr const char* kDropMessage = "<== IndicateReceivePacket:packetsDropped!!!!!!!!\r\n";
const Bytes kPayload = {0x43, 0x13, 0xAA, 0xBB};  // a 6-byte frame with its FCS

// Puts a frame into rxCurrent as the decoder leaves it at the end flag.
void PlaceFrame(TestReceiver& receiver, const Bytes& frame) {
  RxBuffer* current = receiver.device().rxCurrent;
  std::copy(frame.begin(), frame.end(), current->data);
  current->dataLength = static_cast<ULONG>(frame.size());
}

enum class Protocol { kKeeps, kHandsBackSuccess, kHandsBackResources, kReturnsDuring,
                      kReturnsDuringLeavingSuccess };

struct IndicationCase {
  const char* name;
  Protocol protocol;
  bool goodFcs = true;
  bool descriptorFails = false;
  // Expected
  NDIS_STATUS status;
  bool indicated;
  std::vector<int> freeList;
  std::vector<int> pending;
  int current;
  ULONG packetsReceived = 0;
  ULONG packetsDropped = 0;
};

class ReceiveIndication : public SimTest {};

TEST_F(ReceiveIndication, OneFrame) {
  const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  const std::vector<int> rest = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  const std::vector<int> restThen0 = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0};
  const IndicationCase cases[] = {
      {"kept by the protocol", Protocol::kKeeps, true, false, NDIS_STATUS_PENDING, true, rest,
       {0}, 1},
      {"handed back with success", Protocol::kHandsBackSuccess, true, false,
       NDIS_STATUS_SUCCESS, true, restThen0, {}, 1},
      {"handed back with resources", Protocol::kHandsBackResources, true, false,
       NDIS_STATUS_RESOURCES, true, restThen0, {}, 1},
      {"returned during the indication", Protocol::kReturnsDuring, true, false,
       NDIS_STATUS_PENDING, true, restThen0, {}, 1, 1},
      {"returned during the indication, success left", Protocol::kReturnsDuringLeavingSuccess,
       true, false, NDIS_STATUS_SUCCESS, true, restThen0, {}, 1, 1},
      {"bad FCS", Protocol::kKeeps, false, false, NDIS_STATUS_FAILURE, false, all, {}, 0, 0, 1},
      {"no buffer descriptor", Protocol::kKeeps, true, true, NDIS_STATUS_FAILURE, false, all,
       {}, 0, 0, 1},
  };
  Run([&] {
    for (const IndicationCase& c : cases) {
      SCOPED_TRACE(c.name);
      TestReceiver receiver;
      sim().debugLog().Clear();
      switch (c.protocol) {
        case Protocol::kKeeps: receiver.ndis().KeepPackets(); break;
        case Protocol::kHandsBackSuccess: receiver.ndis().HandBackPackets(NDIS_STATUS_SUCCESS); break;
        case Protocol::kHandsBackResources: receiver.ndis().HandBackPackets(NDIS_STATUS_RESOURCES); break;
        case Protocol::kReturnsDuring: receiver.ndis().ReturnDuringIndication(); break;
        case Protocol::kReturnsDuringLeavingSuccess:
          receiver.ndis().ReturnDuringIndication(NDIS_STATUS_SUCCESS);
          break;
      }
      Bytes frame = WithFcs(kPayload);
      if (!c.goodFcs) frame.back() ^= 0x01;
      PlaceFrame(receiver, frame);
      if (c.descriptorFails) sim().faults().FailNth(sim().faults().allocations() + 1);
      IrDevice& device = receiver.device();

      EXPECT_EQ(IndicateReceivePacket(&device), c.status);

      EXPECT_EQ(receiver.FreeList(), c.freeList);
      EXPECT_EQ(receiver.PendingList(), c.pending);
      EXPECT_EQ(receiver.Current(), c.current);
      EXPECT_EQ(device.packetsReceived, c.packetsReceived);
      EXPECT_EQ(device.packetsDropped, c.packetsDropped);
      EXPECT_EQ(sim().debugLog().Count(kDropMessage), c.packetsDropped);
      EXPECT_EQ(sim().debugLog().entries().size(), c.packetsDropped);
      RxBuffer& first = device.rxBuffers[0];
      EXPECT_FALSE(first.indicating);
      EXPECT_FALSE(first.returned);
      if (c.indicated) {
        ASSERT_EQ(receiver.ndis().indications().size(), 1u);
        const host::ndis::Indication& indication = receiver.ndis().indications()[0];
        EXPECT_EQ(indication.packet, first.packet);
        EXPECT_EQ(indication.bytes, kPayload) << "the FCS is stripped";
        EXPECT_EQ(indication.headerSize, 2u);
        // Only a packet NDIS still holds keeps its descriptor and its length.
        bool pending = !c.pending.empty();
        EXPECT_EQ(host::ndis::BuffersInUse(device.rxBufferPool), pending ? 1u : 0u);
        EXPECT_EQ(first.dataLength, pending ? kPayload.size() : 0u);
        EXPECT_EQ(first.data[0], kPayload[0]) << "a recycled buffer keeps its bytes";
      } else {
        EXPECT_TRUE(receiver.ndis().indications().empty());
        EXPECT_EQ(host::ndis::BuffersInUse(device.rxBufferPool), 0u);
        EXPECT_EQ(first.dataLength, 0u);
        EXPECT_EQ(Bytes(first.data, first.data + kRxBufferSize), Bytes(kRxBufferSize, 0))
            << "a dropped frame's buffer is cleared";
      }
    }
  });
}

TEST_F(ReceiveIndication, KeptPacketIsRecycledWhenReturned) {
  Run([&] {
    TestReceiver receiver;
    receiver.ndis().KeepPackets();
    PlaceFrame(receiver, WithFcs(kPayload));
    ASSERT_EQ(IndicateReceivePacket(&receiver.device()), NDIS_STATUS_PENDING);
    EXPECT_EQ(receiver.device().packetsReceived, 0u);

    receiver.ndis().ReturnPacket(receiver.device().rxBuffers[0].packet);

    EXPECT_EQ(receiver.device().packetsReceived, 1u);
    EXPECT_TRUE(receiver.PendingList().empty());
    EXPECT_EQ(receiver.FreeList().back(), 0);
    EXPECT_EQ(receiver.device().rxBuffers[0].dataLength, 0u);
    EXPECT_EQ(host::ndis::BuffersInUse(receiver.device().rxBufferPool), 0u);
  });
}

// Fourteen buffers: thirteen packets with NDIS and the one being filled. Every further
// frame, good or not, is dropped until a packet comes back.
TEST_F(ReceiveIndication, ThirteenPendingDropTheNextFrameUntilOneReturns) {
  Run([&] {
    TestReceiver receiver;
    IrDevice& device = receiver.device();
    receiver.ndis().KeepPackets();
    for (int i = 0; i < 13; ++i) {
      PlaceFrame(receiver, WithFcs(kPayload));
      ASSERT_EQ(IndicateReceivePacket(&device), NDIS_STATUS_PENDING);
    }
    EXPECT_EQ(receiver.PendingList(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(receiver.Current(), 13);
    EXPECT_TRUE(receiver.FreeList().empty());

    sim().debugLog().Clear();
    PlaceFrame(receiver, WithFcs(kPayload));
    EXPECT_EQ(IndicateReceivePacket(&device), NDIS_STATUS_FAILURE);
    EXPECT_EQ(device.packetsDropped, 1u);
    EXPECT_EQ(sim().debugLog().Count(kDropMessage), 1u);
    EXPECT_EQ(receiver.Current(), 13);
    EXPECT_EQ(device.rxBuffers[13].dataLength, 0u);
    EXPECT_EQ(device.rxBuffers[13].data[0], 0u);
    EXPECT_TRUE(receiver.FreeList().empty());
    EXPECT_EQ(receiver.ndis().indications().size(), 13u);

    receiver.ndis().ReturnPacket(device.rxBuffers[5].packet);
    EXPECT_EQ(receiver.FreeList(), std::vector<int>{5});
    PlaceFrame(receiver, WithFcs(kPayload));
    EXPECT_EQ(IndicateReceivePacket(&device), NDIS_STATUS_PENDING);
    EXPECT_EQ(receiver.Current(), 5);
    EXPECT_EQ(receiver.PendingList().back(), 13);
  });
}

// NDIS hands back a packet that is not pending (free, or not the driver's at all): only
// the counter moves.
TEST_F(ReceiveIndication, ReturnOfAPacketNotPendingOnlyCounts) {
  Run([&] {
    TestReceiver receiver;
    IrDevice& device = receiver.device();
    receiver.ndis().KeepPackets();
    PlaceFrame(receiver, WithFcs(kPayload));
    ASSERT_EQ(IndicateReceivePacket(&device), NDIS_STATUS_PENDING);
    std::vector<int> freeBefore = receiver.FreeList();

    MiniportReturnPacket(&device, device.rxBuffers[4].packet);  // on the free list
    MiniportReturnPacket(&device, device.rxBuffers[1].packet);  // rxCurrent

    EXPECT_EQ(device.packetsReceived, 2u);
    EXPECT_EQ(receiver.FreeList(), freeBefore);
    EXPECT_EQ(receiver.PendingList(), std::vector<int>{0});
    EXPECT_EQ(receiver.Current(), 1);
  });
}

// The protocol returns each packet from another processor as soon as it holds it, so the
// return often lands while the indication is still under way (each seed interleaves the
// two threads differently): whichever side comes second recycles the buffer, once.
TEST(ReceiveIndicationRace, ReturnFromAnotherThreadDuringTheIndication) {
  int returnsDuringIndication = 0;
  for (std::uint64_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    host::Simulation simulation(seed);
    simulation.verifier().SetHandler(
        [](const host::Violation& violation) { ADD_FAILURE() << violation.Describe(); });
    host::RunResult result = simulation.Run([&] {
      TestReceiver receiver;
      IrDevice& device = receiver.device();
      receiver.ndis().KeepPackets();
      for (int round = 0; round < 20; ++round) {
        PlaceFrame(receiver, WithFcs(kPayload));
        RxBuffer* frame = device.rxCurrent;
        std::function<void()> returnWhenHeld = [&, frame] {
          if (receiver.ndis().held().empty()) {
            simulation.ScheduleAfter(host::kMicrosecond, returnWhenHeld);
            return;
          }
          returnsDuringIndication += frame->indicating;
          receiver.ndis().ReturnPacket(frame->packet);
        };
        simulation.ScheduleAfter(0, returnWhenHeld);
        IndicateReceivePacket(&device);
        ASSERT_TRUE(simulation.RunUntil([&] { return receiver.PendingList().empty(); },
                                        simulation.Now() + host::kSecond))
            << "round " << round;
        ASSERT_TRUE(receiver.ndis().held().empty());
        ASSERT_EQ(receiver.FreeList().size(), kRxBufferCount - 1);
      }
      EXPECT_EQ(device.packetsReceived, 20u);
    });
    EXPECT_EQ(result.outcome, host::RunOutcome::kFinished) << result.deadlockReport;
  }
  EXPECT_GT(returnsDuringIndication, 0) << "no return came during an indication";
}

}  // namespace
}  // namespace sirtest
