// The query handler through NDIS: lengths, the OID table's answers, the speed list and
// media busy.
#include <string>

#include "tests/miniport/driver_entry_fixture.h"

namespace sirtest {
namespace {

using host::ndis::kUnwrittenByte;
using host::ndis::RequestResult;

constexpr NDIS_OID kUnknownOid = 0x01010101;

// The supported list as the IrDA protocol expects it, in this order.
const std::vector<ULONG> kExpectedList = {
    OID_GEN_SUPPORTED_LIST,        OID_GEN_HARDWARE_STATUS,      OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,          OID_GEN_MAXIMUM_LOOKAHEAD,    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,            OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,   OID_GEN_RECEIVE_BLOCK_SIZE,   OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,    OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,        OID_GEN_MAXIMUM_TOTAL_SIZE,   OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS,           OID_GEN_MEDIA_CONNECT_STATUS, OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION, OID_GEN_XMIT_OK,              OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,            OID_GEN_RCV_ERROR,            OID_GEN_RCV_NO_BUFFER,
    OID_IRDA_RECEIVING,            OID_IRDA_TURNAROUND_TIME,     OID_IRDA_SUPPORTED_SPEEDS,
    OID_IRDA_LINK_SPEED,           OID_IRDA_MEDIA_BUSY,          OID_IRDA_EXTRA_RCV_BOFS,
    OID_PNP_CAPABILITIES,          OID_PNP_SET_POWER,            OID_PNP_QUERY_POWER,
    OID_PNP_ENABLE_WAKE_UP,
};

std::vector<UCHAR> Bytes(const std::vector<ULONG>& words) {
  std::vector<UCHAR> bytes(words.size() * 4);
  for (std::size_t i = 0; i < words.size(); ++i) std::memcpy(&bytes[i * 4], &words[i], 4);
  return bytes;
}

std::vector<UCHAR> Text(const char* text) {
  return std::vector<UCHAR>(text, text + std::strlen(text) + 1);
}

std::vector<UCHAR> Unwritten(std::size_t length) {
  return std::vector<UCHAR>(length, kUnwrittenByte);
}

struct QueryCase {
  const char* name;
  NDIS_OID oid;
  ULONG length;
  NDIS_STATUS status;
  ULONG written;
  ULONG needed;
  std::vector<UCHAR> buffer;  // the whole buffer afterwards
};

class QueryInformation : public DriverTest {};

TEST_F(QueryInformation, AnswersEachOidWithItsLengthAndValue) {
  std::vector<UCHAR> listWithSlack = Bytes(kExpectedList);
  const std::vector<QueryCase> cases = {
      {"list short by 48", OID_GEN_SUPPORTED_LIST, 100, NDIS_STATUS_INVALID_LENGTH, 0, 48,
       Unwritten(100)},
      {"list", OID_GEN_SUPPORTED_LIST, 148, NDIS_STATUS_SUCCESS, 148, 0, Bytes(kExpectedList)},
      {"vendor description", OID_GEN_VENDOR_DESCRIPTION, 27, NDIS_STATUS_SUCCESS, 27, 0,
       Text("Serial Infrared (COM) Port")},
      {"vendor description short", OID_GEN_VENDOR_DESCRIPTION, 26, NDIS_STATUS_INVALID_LENGTH,
       0, 1, Unwritten(26)},
      {"driver version in 2 bytes", OID_GEN_DRIVER_VERSION, 2, NDIS_STATUS_SUCCESS, 2, 0,
       {0x00, 0x01}},
      {"driver version in 4 bytes", OID_GEN_DRIVER_VERSION, 4, NDIS_STATUS_SUCCESS, 2, 0,
       {0x00, 0x01, kUnwrittenByte, kUnwrittenByte}},
      {"4-byte OID in 3 bytes", OID_GEN_MAXIMUM_FRAME_SIZE, 3, NDIS_STATUS_INVALID_LENGTH, 0, 1,
       Unwritten(3)},
      {"unknown OID in 3 bytes", kUnknownOid, 3, NDIS_STATUS_INVALID_LENGTH, 0, 1, Unwritten(3)},
      {"unknown OID", kUnknownOid, 4, NDIS_STATUS_NOT_SUPPORTED, 4, 0, Unwritten(4)},
      {"protocol options", OID_GEN_PROTOCOL_OPTIONS, 4, NDIS_STATUS_NOT_SUPPORTED, 0, 0,
       Unwritten(4)},
      {"hardware status", OID_GEN_HARDWARE_STATUS, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({0})},
      {"medium in use", OID_GEN_MEDIA_IN_USE, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({10})},
      {"maximum frame size", OID_GEN_MAXIMUM_FRAME_SIZE, 4, NDIS_STATUS_SUCCESS, 4, 0,
       Bytes({2050})},
      {"general link speed", OID_GEN_LINK_SPEED, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({1152})},
      {"vendor id", OID_GEN_VENDOR_ID, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({0x00FFFFFF})},
      {"packet filter", OID_GEN_CURRENT_PACKET_FILTER, 4, NDIS_STATUS_SUCCESS, 4, 0,
       Bytes({0x20})},
      {"mac options", OID_GEN_MAC_OPTIONS, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({5})},
      {"send packets", OID_GEN_MAXIMUM_SEND_PACKETS, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({16})},
      {"vendor driver version", OID_GEN_VENDOR_DRIVER_VERSION, 4, NDIS_STATUS_SUCCESS, 4, 0,
       Bytes({0x00010000})},
      {"receiving", OID_IRDA_RECEIVING, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({1})},
      {"turnaround time", OID_IRDA_TURNAROUND_TIME, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({5000})},
      {"link speed after set-up", OID_IRDA_LINK_SPEED, 4, NDIS_STATUS_SUCCESS, 4, 0,
       Bytes({9600})},
      {"extra BOFs", OID_IRDA_EXTRA_RCV_BOFS, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({0})},
      {"all speeds", OID_IRDA_SUPPORTED_SPEEDS, 20, NDIS_STATUS_SUCCESS, 20, 0,
       Bytes({9600, 19200, 38400, 57600, 115200})},
      {"PnP capabilities", OID_PNP_CAPABILITIES, 4, NDIS_STATUS_SUCCESS, 4, 0, Unwritten(4)},
      {"PnP set power", OID_PNP_SET_POWER, 4, NDIS_STATUS_SUCCESS, 4, 0, Unwritten(4)},
      {"PnP query power", OID_PNP_QUERY_POWER, 4, NDIS_STATUS_SUCCESS, 4, 0, Unwritten(4)},
      {"PnP wake-up", OID_PNP_ENABLE_WAKE_UP, 4, NDIS_STATUS_SUCCESS, 4, 0, Unwritten(4)},
      {"receive window", OID_IRDA_MAX_RECEIVE_WINDOW_SIZE, 4, NDIS_STATUS_SUCCESS, 4, 0,
       Bytes({7})},
      {"send window", OID_IRDA_MAX_SEND_WINDOW_SIZE, 4, NDIS_STATUS_SUCCESS, 4, 0, Bytes({7})},
  };
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    for (const QueryCase& each : cases) {
      SCOPED_TRACE(each.name);
      RequestResult result = ndis.Query(adapter, each.oid, each.length);
      EXPECT_FALSE(result.pended);
      EXPECT_EQ(result.status, each.status);
      EXPECT_EQ(result.bytesDone, each.written);
      EXPECT_EQ(result.bytesNeeded, each.needed);
      EXPECT_EQ(result.buffer, each.buffer);
    }
    ndis.Halt(adapter);
  });
}

TEST_F(QueryInformation, CountersFollowTheTraffic) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    host::ndis::SendPacket packet({0xFF, 0x3F, 0x01});
    ASSERT_EQ(ndis.Send(adapter, packet.get()), NDIS_STATUS_PENDING);
    ASSERT_TRUE(sim().RunUntil([&] { return !adapter.block.sendCompletions().empty(); },
                               sim().Now() + host::kSecond));
    EXPECT_EQ(Word(ndis.Query(adapter, OID_GEN_XMIT_OK, 4).buffer), 1u);
    EXPECT_EQ(Word(ndis.Query(adapter, OID_GEN_XMIT_ERROR, 4).buffer), 0u);
    Device(adapter)->packetsDropped = 3;
    Device(adapter)->rxOverflows = 5;
    EXPECT_EQ(Word(ndis.Query(adapter, OID_GEN_RCV_ERROR, 4).buffer), 3u);
    EXPECT_EQ(Word(ndis.Query(adapter, OID_GEN_RCV_NO_BUFFER, 4).buffer), 5u);
    ndis.Halt(adapter);
  });
}

struct SpeedsCase {
  ULONG length;
  NDIS_STATUS status;
  ULONG written;
  ULONG needed;
  std::vector<UCHAR> buffer;
};

TEST_F(QueryInformation, SupportedSpeedsAreTheAllowedOnesAndTheLengthTestUsesTheTransceivers) {
  // A maximum connect rate of 38400 allows 0x0E; the transceiver offers 0x3E.
  std::vector<UCHAR> twelve = Bytes({9600, 19200, 38400});
  twelve.resize(20, kUnwrittenByte);
  const std::vector<SpeedsCase> cases = {
      {20, NDIS_STATUS_SUCCESS, 12, 0, twelve},
      {12, NDIS_STATUS_INVALID_LENGTH, 0, 8, Unwritten(12)},
  };
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::AdapterSettings settings;
    settings.integers["_MaxConnectRate"] = 38400;
    host::ndis::Adapter& adapter = BringUp(ndis, settings);
    ASSERT_EQ(Device(adapter)->allowedSpeeds, 0x0Eu);
    for (const SpeedsCase& each : cases) {
      SCOPED_TRACE(each.length);
      RequestResult result = ndis.Query(adapter, OID_IRDA_SUPPORTED_SPEEDS, each.length);
      EXPECT_EQ(result.status, each.status);
      EXPECT_EQ(result.bytesDone, each.written);
      EXPECT_EQ(result.bytesNeeded, each.needed);
      EXPECT_EQ(result.buffer, each.buffer);
    }
    ndis.Halt(adapter);
  });
}

TEST_F(QueryInformation, SupportedSpeedsWithoutALowerDeviceRefreshTheCapabilities) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis, WithoutDongle());
    RequestResult result = ndis.Query(adapter, OID_IRDA_SUPPORTED_SPEEDS, 20);
    EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(result.buffer, Bytes({9600, 19200, 38400, 57600, 115200}));
    ndis.Halt(adapter);
  });
}

TEST_F(QueryInformation, MediaBusyAsksTheBridgeUntilItHasSeenTrafficThenAnswersAtOnce) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    ASSERT_EQ(ndis.SetUlong(adapter, OID_IRDA_MEDIA_BUSY, 0).status, NDIS_STATUS_SUCCESS);

    RequestResult quiet = ndis.Query(adapter, OID_IRDA_MEDIA_BUSY, 4);
    EXPECT_TRUE(quiet.pended);
    EXPECT_EQ(quiet.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(quiet.bytesDone, 4u);
    EXPECT_EQ(Word(quiet.buffer), 0u);

    ULONG readsBefore = Device(adapter)->readCompletions;
    adapter.dongle->transceiver.InjectInfrared({0x55}, 9600);
    ASSERT_TRUE(sim().RunUntil([&] { return Device(adapter)->readCompletions > readsBefore; },
                               sim().Now() + host::kSecond));

    RequestResult busy = ndis.Query(adapter, OID_IRDA_MEDIA_BUSY, 4);
    EXPECT_TRUE(busy.pended);
    EXPECT_EQ(Word(busy.buffer), 1u);
    RequestResult again = ndis.Query(adapter, OID_IRDA_MEDIA_BUSY, 4);
    EXPECT_FALSE(again.pended);
    EXPECT_EQ(again.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Word(again.buffer), 1u);

    ASSERT_EQ(ndis.SetUlong(adapter, OID_IRDA_MEDIA_BUSY, 0).status, NDIS_STATUS_SUCCESS);
    RequestResult cleared = ndis.Query(adapter, OID_IRDA_MEDIA_BUSY, 4);
    EXPECT_TRUE(cleared.pended);
    EXPECT_EQ(Word(cleared.buffer), 0u);
    ndis.Halt(adapter);
  });
}

TEST_F(QueryInformation, MediaBusyWithoutALowerDeviceIsAlwaysBusy) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis, WithoutDongle());
    RequestResult result = ndis.Query(adapter, OID_IRDA_MEDIA_BUSY, 4);
    EXPECT_TRUE(result.pended);
    EXPECT_EQ(Word(result.buffer), 1u);
    ndis.Halt(adapter);
  });
}

TEST_F(QueryInformation, MediaBusyThatCannotBeAskedReportsNoAnswer) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    ASSERT_EQ(ndis.SetUlong(adapter, OID_IRDA_MEDIA_BUSY, 0).status, NDIS_STATUS_SUCCESS);
    sim().faults().FailTag(kDriverTag);
    RequestResult result = ndis.Query(adapter, OID_IRDA_MEDIA_BUSY, 4);
    sim().faults().StopFailingTag(kDriverTag);
    EXPECT_FALSE(result.pended);
    EXPECT_EQ(result.status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(result.bytesDone, 0u);
    EXPECT_EQ(result.buffer, Unwritten(4));
    ndis.Halt(adapter);
  });
}

}  // namespace
}  // namespace sirtest
