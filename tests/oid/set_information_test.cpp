// The set handler through NDIS: lengths, link-speed changes on the worker thread,
// media-busy clearing and the power states.
#include "bridge/line_control.h"
#include "tests/miniport/driver_entry_fixture.h"

namespace sirtest {
namespace {

using host::devices::TransceiverState;
using host::ndis::RequestResult;

struct SetCase {
  const char* name;
  bool withDongle;
  NDIS_OID oid;
  std::vector<UCHAR> buffer;
  NDIS_STATUS status;
  ULONG bytesRead;
  ULONG bytesNeeded;
  ULONG speedAfter;  // currentSpeed afterwards
};

class SetInformation : public DriverTest {
 protected:
  static std::size_t BusRequests(host::ndis::Adapter& adapter) {
    return adapter.dongle ? adapter.dongle->lower.requests().size() : 0;
  }
};

// Requests answered at once; none of them may reach the bus.
TEST_F(SetInformation, AnswersAtOnceWithoutBusTraffic) {
  const std::vector<SetCase> cases = {
      {"3-byte buffer", true, OID_IRDA_LINK_SPEED, {0x80, 0x25, 0x00}, NDIS_STATUS_INVALID_LENGTH,
       0, 4, 9600},
      {"3-byte unknown OID", true, 0x01010101, {0, 0, 0}, NDIS_STATUS_INVALID_LENGTH, 0, 4, 9600},
      {"speed already running", true, OID_IRDA_LINK_SPEED, Words({9600}), NDIS_STATUS_SUCCESS, 4,
       0, 9600},
      {"speed not in the table", true, OID_IRDA_LINK_SPEED, Words({14400}),
       NDIS_STATUS_INVALID_DATA, 0, 0, 9600},
      {"57600 without a lower device", false, OID_IRDA_LINK_SPEED, Words({57600}),
       NDIS_STATUS_SUCCESS, 4, 0, 57600},
      {"4000000 without a lower device", false, OID_IRDA_LINK_SPEED, Words({4000000}),
       NDIS_STATUS_SUCCESS, 4, 0, 4000000},
      {"packet filter", true, OID_GEN_CURRENT_PACKET_FILTER, Words({0x12345678}),
       NDIS_STATUS_SUCCESS, 4, 0, 9600},
      {"lookahead", true, OID_GEN_CURRENT_LOOKAHEAD, Words({1}), NDIS_STATUS_SUCCESS, 4, 0, 9600},
      {"protocol options", true, OID_GEN_PROTOCOL_OPTIONS, Words({1}), NDIS_STATUS_SUCCESS, 4, 0,
       9600},
      {"rate sniff", true, OID_IRDA_RATE_SNIFF, Words({1}), NDIS_STATUS_NOT_SUPPORTED, 0, 0,
       9600},
      {"unicast list", true, OID_IRDA_UNICAST_LIST, Words({1}), NDIS_STATUS_NOT_SUPPORTED, 0, 0,
       9600},
      {"PnP capabilities", true, OID_PNP_CAPABILITIES, Words({1}), NDIS_STATUS_SUCCESS, 4, 0,
       9600},
      {"D3 while NDIS manages power", true, OID_PNP_SET_POWER, Words({NdisDeviceStateD3}),
       NDIS_STATUS_SUCCESS, 0, 0, 9600},
      {"D1", true, OID_PNP_SET_POWER, Words({NdisDeviceStateD1}), NDIS_STATUS_SUCCESS, 0, 0,
       9600},
      {"unknown OID", true, 0x01010101, Words({1}), NDIS_STATUS_INVALID_OID, 0, 0, 9600},
  };
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    for (const SetCase& each : cases) {
      SCOPED_TRACE(each.name);
      host::ndis::Adapter& adapter =
          BringUp(ndis, each.withDongle ? host::ndis::AdapterSettings{} : WithoutDongle());
      IrDevice* device = Device(adapter);
      const SpeedTableRow* target = device->targetSpeed;
      std::size_t before = BusRequests(adapter);
      RequestResult result = ndis.Set(adapter, each.oid, each.buffer);
      EXPECT_FALSE(result.pended);
      EXPECT_EQ(result.status, each.status);
      EXPECT_EQ(result.bytesDone, each.bytesRead);
      EXPECT_EQ(result.bytesNeeded, each.bytesNeeded);
      EXPECT_EQ(device->currentSpeed, each.speedAfter);
      if (each.status != NDIS_STATUS_SUCCESS) {
        EXPECT_EQ(device->targetSpeed, target);
      }
      EXPECT_EQ(BusRequests(adapter), before);
      ndis.Halt(adapter);
    }
  });
}

TEST_F(SetInformation, SpeedChangePendsAndCompletesOnceTheLinkIsThere) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    RequestResult result = ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 57600);
    EXPECT_TRUE(result.pended);
    EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(result.bytesDone, 4u);
    EXPECT_EQ(Device(adapter)->currentSpeed, 57600u);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 57600u);
    EXPECT_EQ(adapter.dongle->bridge.lineCoding().rate, 57600u);
    EXPECT_EQ(adapter.dongle->transceiver.state(), TransceiverState::kNormal);
    EXPECT_EQ(Word(ndis.Query(adapter, OID_IRDA_LINK_SPEED, 4).buffer), 57600u);
    ndis.Halt(adapter);
  });
}

TEST_F(SetInformation, ASpeedWithoutACommandFailsAndStaysTheAnsweredTarget) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    RequestResult result = ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 4000000);
    EXPECT_TRUE(result.pended);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Device(adapter)->currentSpeed, 9600u);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 9600u);
    EXPECT_EQ(Word(ndis.Query(adapter, OID_IRDA_LINK_SPEED, 4).buffer), 4000000u);
    ndis.Halt(adapter);
  });
}

// A refused speed must not linger: asking for the running speed makes it the target
// again, and a reset reaches the running speed rather than failing on the refused one.
TEST_F(SetInformation, ARefusedSpeedNeverBreaksALaterReset) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    for (bool askForRunningSpeed : {true, false}) {
      SCOPED_TRACE(askForRunningSpeed ? "running speed asked for again" : "reset at once");
      host::ndis::Adapter& adapter = BringUp(ndis);
      ASSERT_EQ(ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 4000000).status, STATUS_UNSUCCESSFUL);
      if (askForRunningSpeed) {
        RequestResult again = ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 9600);
        EXPECT_FALSE(again.pended);
        EXPECT_EQ(again.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Word(ndis.Query(adapter, OID_IRDA_LINK_SPEED, 4).buffer), 9600u);
      }
      RequestResult reset = ndis.Reset(adapter);
      EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);
      EXPECT_TRUE(adapter.block.errorLog().empty());
      EXPECT_EQ(Device(adapter)->currentSpeed, 9600u);
      EXPECT_EQ(adapter.dongle->transceiver.state(), TransceiverState::kNormal);
      EXPECT_EQ(Device(adapter)->nowReceiving, 1);
      ndis.Halt(adapter);
    }
  });
}

TEST_F(SetInformation, ASpeedChangeThatCannotBeQueuedFailsAndChangesNothing) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    sim().faults().FailTag(kDriverTag);
    RequestResult result = ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 57600);
    sim().faults().StopFailingTag(kDriverTag);
    EXPECT_FALSE(result.pended);
    EXPECT_EQ(result.status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(Device(adapter)->currentSpeed, 9600u);
    EXPECT_EQ(Word(ndis.Query(adapter, OID_IRDA_LINK_SPEED, 4).buffer), 9600u);
    ndis.Halt(adapter);
  });
}

TEST_F(SetInformation, MediaBusyTakesTheFirstByteAndClearsTheBridgeCounts) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    IrDevice* device = Device(adapter);
    RequestResult busy = ndis.Set(adapter, OID_IRDA_MEDIA_BUSY, {1, 0, 0, 0});
    EXPECT_EQ(busy.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(busy.bytesDone, 4u);
    EXPECT_EQ(device->mediaBusy, 1);
    EXPECT_EQ(ndis.Set(adapter, OID_IRDA_MEDIA_BUSY, {0, 0xFF, 0xFF, 0xFF}).status,
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(device->mediaBusy, 0);
    USHORT lineStatus = 1;
    ULONG in = 1, out = 1;
    ASSERT_EQ(GetBridgeStatus(device->bridge, &lineStatus, &in, &out), STATUS_SUCCESS);
    EXPECT_EQ(lineStatus | in | out, 0u);
    ndis.Halt(adapter);
  });
}

// Where the driver manages power: D3 cancels the transfers and stops the status polling,
// D0 brings the link back at its speed and restarts the receive loop.
TEST_F(SetInformation, PowerDownAndUpWhereTheDriverManagesPower) {
  sim().SetWdmVersion(1, 0);
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    IrDevice* device = Device(adapter);
    ASSERT_EQ(device->managesPower, 1);
    ASSERT_EQ(ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 115200).status, NDIS_STATUS_SUCCESS);

    std::size_t before = adapter.dongle->lower.requests().size();
    RequestResult d1 = ndis.SetUlong(adapter, OID_PNP_SET_POWER, NdisDeviceStateD1);
    EXPECT_EQ(d1.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter.dongle->lower.requests().size(), before);

    RequestResult down = ndis.SetUlong(adapter, OID_PNP_SET_POWER, NdisDeviceStateD3);
    EXPECT_EQ(down.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(down.bytesDone, 0u);
    EXPECT_EQ(device->deviceError, 1);
    EXPECT_EQ(device->nowReceiving, 0);
    EXPECT_EQ(adapter.dongle->bridge.pendingReads(), 0u);
    EXPECT_EQ(adapter.dongle->bridge.pendingInterruptReads(), 0u);
    sim().RunFor(5 * host::kSecond);
    EXPECT_EQ(adapter.dongle->bridge.pendingInterruptReads(), 0u);

    RequestResult up = ndis.SetUlong(adapter, OID_PNP_SET_POWER, NdisDeviceStateD0);
    EXPECT_EQ(up.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(device->deviceError, 0);
    EXPECT_EQ(device->nowReceiving, 1);
    EXPECT_EQ(adapter.dongle->transceiver.state(), TransceiverState::kNormal);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 115200u);
    EXPECT_EQ(adapter.dongle->bridge.lineCoding().rate, 115200u);
    sim().RunFor(host::kSecond);
    EXPECT_EQ(adapter.dongle->bridge.pendingInterruptReads(), 1u);
    ndis.Halt(adapter);
  });
}

}  // namespace
}  // namespace sirtest
