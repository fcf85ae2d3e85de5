// The send path on a whole adapter: the queue, packets that cannot be framed or posted,
// write results passed through, restarts queued while a device error stands, writes that
// complete inside the bus call, and the packets held at halt.
#include <algorithm>
#include <vector>

#include "bridge/bridge_device.h"
#include "tests/miniport/adapter_fixture.h"
#include "tests/miniport/adapter_scripted_bus.h"
#include "tests/sir/sir_reference.h"

namespace sirtest {
namespace {

using host::devices::BridgeEvent;
using host::ndis::SendPacket;
using host::usb::RequestKind;

class SendPath : public AdapterTest {
 protected:
  static std::vector<PNDIS_PACKET> CompletedPackets(const host::ndis::Adapter& adapter) {
    std::vector<PNDIS_PACKET> packets;
    for (auto& completion : adapter.block.sendCompletions()) packets.push_back(completion.packet);
    return packets;
  }
  static std::vector<NDIS_STATUS> CompletedStatuses(const host::ndis::Adapter& adapter) {
    std::vector<NDIS_STATUS> statuses;
    for (auto& completion : adapter.block.sendCompletions()) statuses.push_back(completion.status);
    return statuses;
  }
  // The frames that left on the bridge's bulk-out pipe, in order.
  static std::vector<Bytes> Writes(const host::ndis::Adapter& adapter) {
    std::vector<Bytes> writes;
    for (auto& event : adapter.dongle->bridge.EventsOf(BridgeEvent::Type::kBulkOut)) {
      writes.push_back(event.data);
    }
    return writes;
  }
  static bool HasFrameOf(const std::vector<Bytes>& writes, const Bytes& payload) {
    for (const Bytes& write : writes) {
      if (write.size() >= payload.size() + 4 &&
          std::search(write.begin(), write.end(), payload.begin(), payload.end()) != write.end()) {
        return true;
      }
    }
    return false;
  }
};

TEST_F(SendPath, ThreeSendsInARowAreWrittenOneAtATimeAndCompletedInOrder) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    IrDevice* device = Device(adapter);
    const std::size_t writesBefore = Writes(adapter).size();
    const std::size_t requestsBefore = adapter.dongle->lower.CountOf(RequestKind::kBulkOut);
    const Bytes payloads[] = {Bytes(30, 0x01), Bytes(30, 0x02), Bytes(30, 0x03)};
    SendPacket a(payloads[0]), b(payloads[1]), c(payloads[2]);
    for (SendPacket* packet : {&a, &b, &c}) {
      EXPECT_EQ(ndis.Send(adapter, packet->get()), NDIS_STATUS_PENDING);
    }
    EXPECT_EQ(adapter.dongle->lower.CountOf(RequestKind::kBulkOut), requestsBefore + 1)
        << "one write at a time";
    EXPECT_EQ(device->sendQueueHead, b.get());
    ASSERT_TRUE(sim().RunUntil([&] { return adapter.block.sendCompletions().size() == 3; },
                               sim().Now() + 5 * host::kSecond));
    EXPECT_EQ(CompletedPackets(adapter), (std::vector<PNDIS_PACKET>{a.get(), b.get(), c.get()}));
    EXPECT_EQ(CompletedStatuses(adapter), std::vector<NDIS_STATUS>(3, NDIS_STATUS_SUCCESS));
    std::vector<Bytes> writes = Writes(adapter);
    ASSERT_EQ(writes.size(), writesBefore + 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(writes[writesBefore + i], ReferenceFrame(payloads[i], 1)) << "frame " << i;
    }
    EXPECT_EQ(device->txOkCount, 3u);
    EXPECT_EQ(device->nowSending, 0);
    EXPECT_EQ(device->currentSendPacket, nullptr);
    ndis.Halt(adapter);
  });
}

TEST_F(SendPath, APacketThatCannotBeFramedFailsAndTheNextIsWritten) {
  // Idle: answered at once. Queued: completed from the completion of the one before it.
  for (bool queued : {false, true}) {
    SCOPED_TRACE(queued ? "queued" : "idle");
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::Adapter& adapter = ndis.AddAdapter();
      ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
      IrDevice* device = Device(adapter);
      SendPacket before(Bytes(20, 0x0A)), bad(Bytes{0x01}), after(Bytes(20, 0x0B));
      std::vector<PNDIS_PACKET> expected;
      if (queued) {
        EXPECT_EQ(ndis.Send(adapter, before.get()), NDIS_STATUS_PENDING);
        EXPECT_EQ(ndis.Send(adapter, bad.get()), NDIS_STATUS_PENDING);
        expected = {before.get(), bad.get(), after.get()};
      } else {
        EXPECT_EQ(ndis.Send(adapter, bad.get()), NDIS_STATUS_FAILURE);
        EXPECT_EQ(device->txErrorCount, 1u);
        EXPECT_EQ(device->nowSending, 0);
        EXPECT_EQ(device->currentSendPacket, nullptr);
        expected = {after.get()};
      }
      EXPECT_EQ(ndis.Send(adapter, after.get()), NDIS_STATUS_PENDING);
      ASSERT_TRUE(simulation.RunUntil(
          [&] { return adapter.block.sendCompletions().size() == expected.size(); },
          simulation.Now() + 5 * host::kSecond));
      EXPECT_EQ(CompletedPackets(adapter), expected);
      if (queued) {
        EXPECT_EQ(CompletedStatuses(adapter),
                  (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE,
                                            NDIS_STATUS_SUCCESS}));
      }
      EXPECT_TRUE(HasFrameOf(Writes(adapter), Bytes(20, 0x0B)));
      EXPECT_EQ(device->txErrorCount, 1u);
      ndis.Halt(adapter);
    });
  }
}

TEST_F(SendPath, AWriteThatFailsCompletesItsPacketWithExactlyItsStatus) {
  const NTSTATUS statuses[] = {STATUS_UNSUCCESSFUL, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED,
                               STATUS_IO_TIMEOUT};
  for (NTSTATUS status : statuses) {
    SCOPED_TRACE(status);
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::Adapter& adapter = ndis.AddAdapter();
      ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
      IrDevice* device = Device(adapter);
      adapter.dongle->lower.FailNext(RequestKind::kBulkOut, {status, host::usb::USBD_STATUS_STALL_PID});
      SendPacket failing(Bytes(20, 0x0C)), next(Bytes(20, 0x0D));
      EXPECT_EQ(ndis.Send(adapter, failing.get()), NDIS_STATUS_PENDING);
      EXPECT_EQ(ndis.Send(adapter, next.get()), NDIS_STATUS_PENDING);
      ASSERT_TRUE(simulation.RunUntil([&] { return adapter.block.sendCompletions().size() == 2; },
                                      simulation.Now() + 5 * host::kSecond));
      EXPECT_EQ(CompletedPackets(adapter), (std::vector<PNDIS_PACKET>{failing.get(), next.get()}));
      EXPECT_EQ(CompletedStatuses(adapter),
                (std::vector<NDIS_STATUS>{static_cast<NDIS_STATUS>(status), NDIS_STATUS_SUCCESS}));
      EXPECT_EQ(device->txErrorCount, 1u);
      EXPECT_EQ(device->txOkCount, 1u);
      ndis.Halt(adapter);
    });
  }
}

TEST_F(SendPath, WritesThatCompleteInsideTheBusCallDoNotDeadlock) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ScriptedBus bus(sim(), adapter);
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    IrDevice* device = Device(adapter);
    SendPacket a(Bytes(10, 0x01)), b(Bytes(10, 0x02)), c(Bytes(10, 0x03));
    bus.AnswerWritesAtOnce(3);
    for (SendPacket* packet : {&a, &b, &c}) {
      EXPECT_EQ(ndis.Send(adapter, packet->get()), NDIS_STATUS_PENDING);
    }
    EXPECT_EQ(CompletedPackets(adapter), (std::vector<PNDIS_PACKET>{a.get(), b.get(), c.get()}))
        << "each completed before its send returned";
    EXPECT_EQ(device->nowSending, 0);
    EXPECT_EQ(device->txOkCount, 3u);
    ndis.Halt(adapter);
  });
}

TEST_F(SendPath, AWriteThatNeverReachesTheBusFailsItsPacketAndTheNextIsStarted) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    IrDevice* device = Device(adapter);
    SendPacket idle(Bytes(20, 0x01)), first(Bytes(20, 0x02)), second(Bytes(20, 0x03)),
        third(Bytes(20, 0x04));

    // Idle: the write's memory cannot be had.
    sim().faults().FailTag(kBridgeTag);
    EXPECT_EQ(ndis.Send(adapter, idle.get()), NDIS_STATUS_FAILURE);
    sim().faults().StopFailingTag(kBridgeTag);
    EXPECT_EQ(device->currentSendPacket, nullptr);
    EXPECT_EQ(device->nowSending, 0);

    // Queued: the packet started from the first one's completion cannot be posted.
    EXPECT_EQ(ndis.Send(adapter, first.get()), NDIS_STATUS_PENDING);
    EXPECT_EQ(ndis.Send(adapter, second.get()), NDIS_STATUS_PENDING);
    sim().faults().FailTag(kBridgeTag);
    ASSERT_TRUE(sim().RunUntil([&] { return adapter.block.sendCompletions().size() == 2; },
                               sim().Now() + 5 * host::kSecond));
    sim().faults().StopFailingTag(kBridgeTag);
    EXPECT_EQ(device->nowSending, 0) << "the path is idle, not waiting for a completion";
    EXPECT_EQ(ndis.Send(adapter, third.get()), NDIS_STATUS_PENDING);
    ASSERT_TRUE(sim().RunUntil([&] { return adapter.block.sendCompletions().size() == 3; },
                               sim().Now() + 5 * host::kSecond));
    EXPECT_EQ(CompletedPackets(adapter),
              (std::vector<PNDIS_PACKET>{first.get(), second.get(), third.get()}));
    EXPECT_EQ(CompletedStatuses(adapter),
              (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE,
                                        NDIS_STATUS_SUCCESS}));
    EXPECT_EQ(device->txErrorCount, 2u);
    ndis.Halt(adapter);
  });
}

TEST_F(SendPath, HaltCompletesTheQueuedPacketsInOrderAndThenTheOneInFlight) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    adapter.dongle->lower.SetDelivery(RequestKind::kBulkOut, host::usb::Delivery::kNever);
    SendPacket inFlight(Bytes(20, 0x01)), second(Bytes(20, 0x02)), third(Bytes(20, 0x03));
    for (SendPacket* packet : {&inFlight, &second, &third}) {
      EXPECT_EQ(ndis.Send(adapter, packet->get()), NDIS_STATUS_PENDING);
    }
    sim().RunFor(100 * host::kMillisecond);
    EXPECT_TRUE(adapter.block.sendCompletions().empty());
    VirtualTimeCheck halt(sim());
    ndis.Halt(adapter);
    EXPECT_LT(halt.Elapsed(), 3 * host::kSecond);
    EXPECT_EQ(CompletedPackets(adapter),
              (std::vector<PNDIS_PACKET>{second.get(), third.get(), inFlight.get()}));
    EXPECT_EQ(CompletedStatuses(adapter), std::vector<NDIS_STATUS>(3, NDIS_STATUS_FAILURE));
  });
}

TEST_F(SendPath, WithoutALowerDeviceOrDuringCaptureASendIsAcceptedAndDropped) {
  for (bool withDongle : {false, true}) {
    SCOPED_TRACE(withDongle ? "capture" : "no lower device");
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::AdapterSettings settings;
      settings.withDongle = withDongle;
      host::ndis::Adapter& adapter = ndis.AddAdapter(settings);
      ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
      IrDevice* device = Device(adapter);
      if (withDongle) WriteOnce(device->captureMode, UCHAR{1});
      const std::size_t writesBefore =
          withDongle ? adapter.dongle->lower.CountOf(RequestKind::kBulkOut) : 0;
      SendPacket packet(Bytes(20, 0x01));
      EXPECT_EQ(ndis.Send(adapter, packet.get()), NDIS_STATUS_SUCCESS);
      simulation.RunFor(100 * host::kMillisecond);
      if (withDongle) {
        EXPECT_EQ(adapter.dongle->lower.CountOf(RequestKind::kBulkOut), writesBefore);
      }
      EXPECT_EQ(device->txOkCount + device->txErrorCount, 0u);
      EXPECT_TRUE(adapter.block.sendCompletions().empty());
      WriteOnce(device->captureMode, UCHAR{0});
      ndis.Halt(adapter);
    });
  }
}

}  // namespace
}  // namespace sirtest
