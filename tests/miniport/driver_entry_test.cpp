// Loading the driver through DriverEntry: the registration NDIS receives, the dispatch
// entries, and the whole driver serving two adapters that face each other.
#include <deque>
#include <memory>

#include "control/device_control.h"
#include "host/ndis/registration.h"
#include "miniport/reset.h"
#include "oid/query_information.h"
#include "oid/set_information.h"
#include "tests/miniport/driver_entry_fixture.h"

namespace sirtest {
namespace {

using host::ndis::CurrentRegistration;
using host::ndis::RequestResult;

// NDIS 5.0's structure: eight bytes of version and reserved fields, then 22 handler
// slots; 96 bytes where pointers are four bytes long.
static_assert(sizeof(NDIS50_MINIPORT_CHARACTERISTICS) == 8 + 22 * sizeof(void*));

class DriverEntryTest : public DriverTest {};

TEST_F(DriverEntryTest, RegistersTheSevenHandlersOfAnNdis50Miniport) {
  Run([&] {
    currentAdapter = reinterpret_cast<IrDevice*>(0x1);  // whatever was there before
    host::ndis::MiniportHost ndis(DriverEntry);
    EXPECT_EQ(ndis.driverEntryStatus(), STATUS_SUCCESS);
    EXPECT_EQ(currentAdapter, nullptr);
    EXPECT_TRUE(IsListEmpty(&adapterList));

    const host::ndis::Registration& registration = CurrentRegistration();
    EXPECT_EQ(registration.driverObject, ndis.driver().object());
    EXPECT_EQ(registration.registryPath, ndis.driver().registryPath());
    EXPECT_EQ(registration.systemSpecific3, nullptr);
    ASSERT_TRUE(registration.characteristics.has_value());
    EXPECT_EQ(registration.characteristicsLength, sizeof(NDIS50_MINIPORT_CHARACTERISTICS));
    NDIS50_MINIPORT_CHARACTERISTICS expected{};
    expected.MajorNdisVersion = 5;
    expected.MinorNdisVersion = 0;
    expected.HaltHandler = MiniportHalt;
    expected.InitializeHandler = MiniportInitialize;
    expected.QueryInformationHandler = MiniportQueryInformation;
    expected.ResetHandler = MiniportReset;
    expected.SendHandler = MiniportSend;
    expected.SetInformationHandler = MiniportSetInformation;
    expected.ReturnPacketHandler = MiniportReturnPacket;
    // Every other member, the check-for-hang handler among them, is zero.
    EXPECT_EQ(std::memcmp(&*registration.characteristics, &expected, sizeof expected), 0);
    EXPECT_EQ(registration.characteristics->CheckForHangHandler, nullptr);
  });
}

TEST_F(DriverEntryTest, TakesOverTheThreeEntriesWhateverTheRegistrationSaid) {
  for (NDIS_STATUS answer : {NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE}) {
    SCOPED_TRACE(answer);
    host::Simulation simulation(0);
    simulation.verifier().SetHandler(
        [](const host::Violation& violation) { ADD_FAILURE() << violation.Describe(); });
    simulation.Run([&] {
      host::ndis::RejectRegistration(answer);
      host::ndis::MiniportHost ndis(DriverEntry);
      EXPECT_EQ(ndis.driverEntryStatus(),
                answer == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
      PDRIVER_OBJECT driver = ndis.driver().object();
      EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], DispatchCreateClose);
      EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], DispatchCreateClose);
      EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
      EXPECT_EQ(driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], host::ndis::NdisDispatch);
      EXPECT_EQ(driver->MajorFunction[1], host::ndis::NdisDispatch);
    });
  }
}

// Carries the bytes each transceiver sends on its infrared side to the other one.
class FacingTransceivers {
 public:
  FacingTransceivers(host::devices::SirTransceiver& a, host::devices::SirTransceiver& b)
      : aToB_(b), bToA_(a) {
    a.AttachInfrared(&aToB_);
    b.AttachInfrared(&bToA_);
  }

 private:
  struct Direction : host::devices::InfraredReceiver {
    explicit Direction(host::devices::SirTransceiver& to) : receiver(to) {}
    void OnInfraredByte(const host::devices::TimedByte& byte) override {
      receiver.ReceiveInfrared(byte.value, byte.rate);
    }
    host::devices::SirTransceiver& receiver;
  };
  Direction aToB_;
  Direction bToA_;
};

// An IrLAP-looking frame that carries its sender, its number and bytes that need stuffing.
std::vector<UCHAR> Payload(UCHAR sender, UCHAR number) {
  std::vector<UCHAR> payload = {0xFE, 0x13, sender, number};
  for (int i = 0; i < 40; ++i) {
    payload.push_back(static_cast<UCHAR>(i % 3 == 0 ? 0x7D : i % 3 == 1 ? 0xC0 : number + i));
  }
  return payload;
}

TEST_F(DriverEntryTest, TwoAdaptersFacingEachOtherServeTrafficAcrossAReset) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& a = BringUp(ndis);
    host::ndis::Adapter& b = BringUp(ndis);
    FacingTransceivers medium(a.dongle->transceiver, b.dongle->transceiver);
    std::deque<std::unique_ptr<host::ndis::SendPacket>> packets;

    for (host::ndis::Adapter* adapter : {&a, &b}) {
      RequestResult speeds = ndis.Query(*adapter, OID_IRDA_SUPPORTED_SPEEDS, 20);
      EXPECT_EQ(speeds.status, NDIS_STATUS_SUCCESS);
      EXPECT_EQ(speeds.bytesDone, 20u);
      EXPECT_EQ(Word(speeds.buffer, 4), 115200u);
      RequestResult set = ndis.SetUlong(*adapter, OID_IRDA_LINK_SPEED, 115200);
      EXPECT_TRUE(set.pended);
      EXPECT_EQ(set.status, NDIS_STATUS_SUCCESS);
    }

    auto send = [&](host::ndis::Adapter& from, UCHAR sender, UCHAR number) {
      packets.push_back(std::make_unique<host::ndis::SendPacket>(Payload(sender, number)));
      EXPECT_EQ(ndis.Send(from, packets.back()->get()), NDIS_STATUS_PENDING);
    };
    auto exchangeTraffic = [&](UCHAR first) {
      std::size_t atA = a.block.indications().size();
      std::size_t atB = b.block.indications().size();
      for (UCHAR number = first; number < first + 5; ++number) {
        send(a, 'A', number);
        send(b, 'B', number);
      }
      ASSERT_TRUE(sim().RunUntil(
          [&] {
            return a.block.indications().size() == atA + 5 &&
                   b.block.indications().size() == atB + 5 && a.block.pendingSends() == 0 &&
                   b.block.pendingSends() == 0;
          },
          sim().Now() + 5 * host::kSecond));
      for (UCHAR i = 0; i < 5; ++i) {
        EXPECT_EQ(b.block.indications()[atB + i].bytes, Payload('A', first + i));
        EXPECT_EQ(a.block.indications()[atA + i].bytes, Payload('B', first + i));
      }
    };

    exchangeTraffic(0);

    // A reset of one adapter while both send: every packet still completes once.
    for (UCHAR number = 10; number < 14; ++number) {
      send(a, 'A', number);
      send(b, 'B', number);
    }
    RequestResult reset = ndis.Reset(a);
    EXPECT_EQ(reset.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Device(a)->currentSpeed, 115200u);
    ASSERT_TRUE(sim().RunUntil(
        [&] { return a.block.pendingSends() == 0 && b.block.pendingSends() == 0; },
        sim().Now() + 5 * host::kSecond));
    sim().RunFor(100 * host::kMillisecond);

    exchangeTraffic(20);

    ndis.Halt(a);
    ndis.Halt(b);
    EXPECT_EQ(a.block.sendCompletions().size() + b.block.sendCompletions().size(),
              packets.size());
  });
}

}  // namespace
}  // namespace sirtest
