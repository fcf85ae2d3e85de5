// Reset through NDIS: the drain, the rebuilt line settings, speed and receive loop, the
// failures and their error-log entry, and the sends held across it.
#include "bridge/bridge_device.h"
#include "miniport/work_item.h"
#include "receive/read_loop.h"
#include "tests/miniport/driver_entry_fixture.h"
#include "tests/sir/sir_reference.h"

namespace sirtest {
namespace {

using host::devices::BridgeEvent;
using host::devices::TransceiverState;
using host::ndis::RequestResult;
using host::usb::RequestKind;

class Reset : public DriverTest {
 protected:
  // When the reset's first request reached the bridge, counted from `start`.
  static host::VirtualTime FirstRequestAfter(host::ndis::Adapter& adapter,
                                             host::VirtualTime start) {
    for (const BridgeEvent& event : adapter.dongle->bridge.events()) {
      if (event.time >= start && event.type == BridgeEvent::Type::kControlLines) {
        return event.time - start;
      }
    }
    return -1;
  }

  // Ends the receive loop: the next read fails as for a device going away.
  void StopReadLoop(host::ndis::Adapter& adapter) {
    adapter.dongle->lower.FailNext(RequestKind::kBulkIn, {STATUS_DELETE_PENDING, 0});
    adapter.dongle->transceiver.InjectInfrared({0x55}, 9600);
    ASSERT_TRUE(sim().RunUntil([&] { return Device(adapter)->nowReceiving == 0; },
                               sim().Now() + host::kSecond));
  }
};

// The drain sleeps only while a transfer is outstanding; either way the reset ends with
// exactly one read posted and its bytes reach the deframer.
TEST_F(Reset, DrainsWhatIsOutstandingAndRestartsOneRead) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    for (bool readOutstanding : {false, true}) {
      SCOPED_TRACE(readOutstanding ? "read outstanding" : "nothing outstanding");
      host::ndis::Adapter& adapter = BringUp(ndis);
      if (!readOutstanding) StopReadLoop(adapter);
      ASSERT_EQ(adapter.dongle->bridge.pendingReads(), readOutstanding ? 1u : 0u);

      host::VirtualTime start = sim().Now();
      RequestResult result = ndis.Reset(adapter);
      EXPECT_EQ(result.answered, NDIS_STATUS_PENDING);
      EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
      EXPECT_TRUE(result.addressingReset);
      EXPECT_EQ(adapter.block.requestCompletions().back().kind,
                host::ndis::RequestKind::kResetAddressing);
      host::VirtualTime firstRequest = FirstRequestAfter(adapter, start);
      if (readOutstanding) {
        EXPECT_GE(firstRequest, 20 * host::kMillisecond);
      } else {
        EXPECT_LT(firstRequest, host::kMillisecond);
      }
      EXPECT_EQ(Device(adapter)->resetting, 0);
      EXPECT_EQ(adapter.dongle->bridge.pendingReads(), 1u);
      sim().RunFor(100 * host::kMillisecond);
      EXPECT_EQ(adapter.dongle->bridge.pendingReads(), 1u);

      std::size_t indicated = adapter.block.indications().size();
      adapter.dongle->transceiver.InjectInfrared(ReferenceFrame({0xFF, 0x93, 0x01, 0x02}, 1),
                                                 9600);
      ASSERT_TRUE(sim().RunUntil(
          [&] { return adapter.block.indications().size() > indicated; },
          sim().Now() + host::kSecond));
      EXPECT_EQ(adapter.block.indications().back().bytes, (Bytes{0xFF, 0x93, 0x01, 0x02}));
      ndis.Halt(adapter);
    }
  });
}

// The reset rebuilds the link at the target speed, with the transceiver powered on
// again after the shutdown: whether or not the speed changes.
TEST_F(Reset, BringsTheLinkToTheTargetSpeed) {
  struct Case {
    ULONG running;
    ULONG target;
  };
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    for (Case each : {Case{115200, 115200}, Case{9600, 38400}, Case{57600, 19200}}) {
      SCOPED_TRACE(each.target);
      host::ndis::Adapter& adapter = BringUp(ndis);
      IrDevice* device = Device(adapter);
      ASSERT_EQ(ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, each.running).status,
                NDIS_STATUS_SUCCESS);
      device->targetSpeed = FindSpeedRow(each.target);
      RequestResult result = ndis.Reset(adapter);
      EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
      EXPECT_EQ(device->currentSpeed, each.target);
      EXPECT_EQ(adapter.dongle->transceiver.state(), TransceiverState::kNormal);
      EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), each.target);
      EXPECT_EQ(adapter.dongle->bridge.lineCoding().rate, each.target);
      EXPECT_EQ(adapter.dongle->bridge.lineCoding().dataBits, 8);
      EXPECT_TRUE(adapter.block.errorLog().empty());
      ndis.Halt(adapter);
    }
  });
}

// A receive restart whose device refused the configuration leaves the bridge stopped, so
// that neither reads nor writes can be posted; a reset starts it again.
TEST_F(Reset, StartsABridgeThatARestartLeftStopped) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    IrDevice* device = Device(adapter);
    adapter.dongle->lower.FailNext(RequestKind::kBulkIn, {STATUS_DEVICE_DATA_ERROR, 0});
    adapter.dongle->transceiver.InjectInfrared({0x55}, 9600);
    ASSERT_TRUE(sim().RunUntil([&] { return device->deviceError != 0; },
                               sim().Now() + host::kSecond));
    adapter.dongle->lower.StallNext(host::usb::ControlRequest::kSelectConfiguration);
    ASSERT_EQ(QueueWorkItem(RestartReceiveWork, device, RestartReceive, nullptr, 0),
              STATUS_SUCCESS);
    ASSERT_TRUE(sim().RunUntil([&] { return !IsBridgeStarted(device->bridge); },
                               sim().Now() + 5 * host::kSecond));
    sim().RunFor(2 * host::kSecond);

    EXPECT_EQ(ndis.Reset(adapter).status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(IsBridgeStarted(device->bridge));
    EXPECT_EQ(adapter.dongle->bridge.pendingReads(), 1u);
    ndis.Halt(adapter);
  });
}

TEST_F(Reset, FailuresAreLoggedOnceAndReportedAsHardErrors) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    {
      SCOPED_TRACE("first line-format request fails");
      host::ndis::Adapter& adapter = BringUp(ndis);
      // The shutdown's two control-line requests and the baud rate go first; their
      // results are not consulted.
      adapter.dongle->lower.StallNext(RequestKind::kClassRequest, 4);
      RequestResult result = ndis.Reset(adapter);
      EXPECT_EQ(result.status, NDIS_STATUS_HARD_ERRORS);
      EXPECT_TRUE(result.addressingReset);
      ASSERT_EQ(adapter.block.errorLog().size(), 1u);
      EXPECT_EQ(adapter.block.errorLog()[0].code, 0xC000138Bu);
      EXPECT_EQ(adapter.block.errorLog()[0].values,
                std::vector<ULONG>{static_cast<ULONG>(STATUS_UNSUCCESSFUL)});
      EXPECT_EQ(Device(adapter)->resetting, 0);
      ndis.Halt(adapter);
    }
    {
      SCOPED_TRACE("no lower device");
      host::ndis::Adapter& adapter = BringUp(ndis, WithoutDongle());
      RequestResult result = ndis.Reset(adapter);
      EXPECT_EQ(result.status, NDIS_STATUS_HARD_ERRORS);
      ASSERT_EQ(adapter.block.errorLog().size(), 1u);
      EXPECT_EQ(adapter.block.errorLog()[0].values,
                std::vector<ULONG>{static_cast<ULONG>(NDIS_STATUS_OPEN_FAILED)});
      ndis.Halt(adapter);
    }
  });
}

// A reset that cannot be queued did not happen: it is refused, and the adapter goes on.
TEST_F(Reset, AResetThatCannotBeQueuedIsRefusedAndNeverCompleted) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    sim().faults().FailTag(kDriverTag);
    RequestResult result = ndis.Reset(adapter);
    sim().faults().StopFailingTag(kDriverTag);
    EXPECT_FALSE(result.pended);
    EXPECT_EQ(result.status, NDIS_STATUS_RESOURCES);
    EXPECT_TRUE(result.addressingReset);
    EXPECT_EQ(Device(adapter)->resetting, 0);
    EXPECT_TRUE(adapter.block.requestCompletions().empty());
    EXPECT_EQ(adapter.dongle->bridge.pendingReads(), 1u);
    ndis.Halt(adapter);
  });
}

// The write in flight and the packets queued behind it are failed by the reset; the
// next send goes out.
TEST_F(Reset, SendsHeldAcrossTheResetCompleteAndSendingResumes) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    adapter.dongle->lower.SetDelivery(RequestKind::kBulkOut, host::usb::Delivery::kNever);
    host::ndis::SendPacket first({0xFF, 0x93, 0x01}), second({0xFF, 0x93, 0x02}),
        third({0xFF, 0x93, 0x03});
    for (auto* packet : {&first, &second, &third}) {
      ASSERT_EQ(ndis.Send(adapter, packet->get()), NDIS_STATUS_PENDING);
    }
    // The wedged pipe also keeps the speed command from the transceiver: the reset fails.
    EXPECT_EQ(ndis.Reset(adapter).status, NDIS_STATUS_HARD_ERRORS);
    ASSERT_EQ(adapter.block.sendCompletions().size(), 3u);
    for (const auto& completion : adapter.block.sendCompletions()) {
      EXPECT_EQ(completion.status, NDIS_STATUS_FAILURE);
    }
    EXPECT_EQ(adapter.block.pendingSends(), 0u);

    adapter.dongle->lower.SetDelivery(RequestKind::kBulkOut, host::usb::Delivery::kLater);
    EXPECT_EQ(ndis.Reset(adapter).status, NDIS_STATUS_SUCCESS);
    host::ndis::SendPacket after({0xFF, 0x93, 0x04});
    std::size_t bytesOut = adapter.dongle->bridge.serialOut().size();
    ASSERT_EQ(ndis.Send(adapter, after.get()), NDIS_STATUS_PENDING);
    ASSERT_TRUE(sim().RunUntil([&] { return adapter.block.sendCompletions().size() == 4; },
                               sim().Now() + host::kSecond));
    EXPECT_EQ(adapter.block.sendCompletions().back().packet, after.get());
    EXPECT_EQ(adapter.block.sendCompletions().back().status, NDIS_STATUS_SUCCESS);
    EXPECT_GT(adapter.dongle->bridge.serialOut().size(), bytesOut);
    ndis.Halt(adapter);
  });
}

}  // namespace
}  // namespace sirtest
