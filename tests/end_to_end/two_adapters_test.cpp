// Two adapters facing each other over the infrared medium, the whole driver on both:
// packets that carry their own sequence number and checksum cross intact and in order, at
// 9600 bits/s and after a speed change at 115200, one way and then both ways at once.
#include <map>
#include <memory>
#include <vector>

#include "host/devices/infrared_medium.h"
#include "tests/end_to_end/payload.h"
#include "tests/miniport/adapter_fixture.h"
#include "transceiver/transceiver.h"

namespace sirtest {
namespace {

class TwoAdapters : public AdapterTest {
 protected:
  // Packets to send from one adapter, and how many of them have been handed to it.
  struct Traffic {
    host::ndis::Adapter* from;
    std::vector<std::unique_ptr<host::ndis::SendPacket>> packets;
    std::vector<Bytes> payloads;
    std::size_t sent = 0;
  };

  void Prepare(Traffic& traffic, host::ndis::Adapter& from, std::size_t count,
               std::uint16_t firstSequence, std::mt19937& random) {
    traffic.from = &from;
    std::uniform_int_distribution<std::size_t> size(2, 2050);
    for (std::size_t i = 0; i < count; ++i) {
      traffic.payloads.push_back(
          MakePayload(static_cast<std::uint16_t>(firstSequence + i), size(random), random));
      traffic.packets.push_back(std::make_unique<host::ndis::SendPacket>(traffic.payloads.back()));
    }
  }

  // Keeps up to four packets of each traffic with the driver (as a protocol's window
  // would) until all are completed.
  void SendAll(host::ndis::MiniportHost& ndis, std::vector<Traffic*> traffics) {
    auto done = [&] {
      for (Traffic* t : traffics) {
        if (t->from->block.sendCompletions().size() < completionsBefore_[t->from] + t->packets.size()) {
          return false;
        }
      }
      return true;
    };
    for (Traffic* t : traffics) completionsBefore_[t->from] = t->from->block.sendCompletions().size();
    while (!done()) {
      for (Traffic* t : traffics) {
        std::size_t completed = t->from->block.sendCompletions().size() - completionsBefore_[t->from];
        while (t->sent < t->packets.size() && t->sent < completed + 4) {
          ASSERT_EQ(ndis.Send(*t->from, t->packets[t->sent]->get()), NDIS_STATUS_PENDING);
          ++t->sent;
        }
      }
      ASSERT_TRUE(sim().RunUntil(
          [&] {
            for (Traffic* t : traffics) {
              std::size_t completed =
                  t->from->block.sendCompletions().size() - completionsBefore_[t->from];
              if (t->sent < t->packets.size() && completed + 4 > t->sent) return true;
            }
            return done();
          },
          sim().Now() + 600 * host::kSecond));
    }
  }

  // Lets the last frames arrive (a write completes when its bytes have left the sender),
  // then compares what the other side indicated.
  void ExpectDelivered(const host::ndis::Adapter& to, std::size_t indicationsBefore,
                       const std::vector<Bytes>& payloads) {
    sim().RunUntil(
        [&] { return to.block.indications().size() >= indicationsBefore + payloads.size(); },
        sim().Now() + 10 * host::kSecond);
    const auto& indications = to.block.indications();
    ASSERT_EQ(indications.size() - indicationsBefore, payloads.size());
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      ASSERT_EQ(indications[indicationsBefore + i].bytes, payloads[i]) << "packet " << i;
      EXPECT_EQ(indications[indicationsBefore + i].headerSize, 2u);
    }
  }

  std::map<host::ndis::Adapter*, std::size_t> completionsBefore_;
};

void SetSpeed(IrDevice* device, ULONG speed) {
  device->targetSpeed = FindSpeedRow(speed);
  ASSERT_EQ(IrSetLinkSpeed(device), STATUS_SUCCESS);
}

TEST_F(TwoAdapters, PacketsCrossIntactAndInOrderAtBothSpeedsAndBothWays) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    std::mt19937 random(2050);
    host::ndis::Adapter& a = ndis.AddAdapter();
    host::ndis::Adapter& b = ndis.AddAdapter();
    host::devices::InfraredMedium medium(sim(), a.dongle->transceiver, b.dongle->transceiver);
    // Nothing here reads the byte records: counts keep the run light.
    medium.SetRecording(host::devices::Recording::kCountsOnly);
    a.dongle->SetRecording(host::devices::Recording::kCountsOnly);
    b.dongle->SetRecording(host::devices::Recording::kCountsOnly);
    // The protocols give each packet back through the return handler, which counts it.
    a.block.ReturnDuringIndication();
    b.block.ReturnDuringIndication();
    ASSERT_EQ(ndis.Initialize(a), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(ndis.Initialize(b), NDIS_STATUS_SUCCESS);
    IrDevice* deviceA = Device(a);
    IrDevice* deviceB = Device(b);

    for (ULONG speed : {9600u, 115200u}) {
      SCOPED_TRACE(speed);
      if (speed != 9600) {
        SetSpeed(deviceA, speed);
        SetSpeed(deviceB, speed);
      }
      EXPECT_EQ(a.dongle->transceiver.infraredSpeed(), speed);
      EXPECT_EQ(b.dongle->bridge.lineCoding().rate, speed);
      const std::size_t indicationsBefore = b.block.indications().size();
      const ULONG okBefore = deviceA->txOkCount;
      const ULONG receivedBefore = deviceB->packetsReceived;
      Traffic traffic;
      Prepare(traffic, a, 200, static_cast<std::uint16_t>(speed), random);
      SendAll(ndis, {&traffic});
      ExpectDelivered(b, indicationsBefore, traffic.payloads);
      EXPECT_EQ(deviceA->txOkCount - okBefore, 200u);
      EXPECT_EQ(deviceA->txErrorCount, 0u);
      EXPECT_EQ(deviceB->packetsReceived - receivedBefore, 200u);
      EXPECT_EQ(deviceB->packetsDropped, 0u);
      EXPECT_EQ(deviceB->rxOverflows, 0u);
    }

    // Both ways at once.
    const std::size_t toA = a.block.indications().size();
    const std::size_t toB = b.block.indications().size();
    Traffic fromB, fromA;
    Prepare(fromB, b, 200, 1, random);
    Prepare(fromA, a, 200, 30000, random);
    SendAll(ndis, {&fromB, &fromA});
    ExpectDelivered(a, toA, fromB.payloads);
    ExpectDelivered(b, toB, fromA.payloads);
    EXPECT_EQ(deviceB->txOkCount, 200u);
    EXPECT_EQ(deviceA->packetsReceived, 200u);
    EXPECT_EQ(deviceA->packetsDropped + deviceB->packetsDropped, 0u);

    ndis.Halt(a);
    ndis.Halt(b);
  });
}

}  // namespace
}  // namespace sirtest
