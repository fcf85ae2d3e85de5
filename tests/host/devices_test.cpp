// The serial bridge and transceiver models: pacing at the line rate, how reads end, the
// receive FIFO, command mode, garbling at mismatched rates and power-down.
#include <gmock/gmock.h>

#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "tests/bridge/bridge_fixture.h"

namespace sirtest {
namespace {

using host::devices::CharacterEnd;
using host::devices::CharacterTime;
using host::devices::ReceivedByte;
using host::devices::TransceiverCommand;
using host::devices::TransceiverState;
using ::testing::ElementsAre;

constexpr host::VirtualTime L = host::usb::kDefaultLatency;

class DevicesTest : public BridgeTest {
 protected:
  struct Read {
    UCHAR buffer[64] = {};
    BulkStatusBlock status{};
    bool done = false;
    host::VirtualTime at = 0;
  };
  static NTSTATUS ReadDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* read = static_cast<Read*>(context);
    read->done = true;
    read->at = host::Simulation::Current().Now();
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  void Post(BridgeHandle bridge, Read& read, ULONG length) {
    ASSERT_EQ(BulkReadAsync(bridge, read.buffer, length, ReadDone, &read, &read.status),
              STATUS_PENDING);
  }
  BridgeHandle Normal(ULONG rate) {
    BridgeHandle bridge = StartedBridge();
    SetBaudRate(bridge, rate);
    SetControlLines(bridge, TRUE, TRUE);
    return bridge;
  }
};

TEST_F(DevicesTest, BulkOutBytesLeaveAtTheLineRateAndTheWriteEndsAfterTheLast) {
  Run([&] {
    BridgeHandle bridge = Normal(19200);
    host::VirtualTime start = sim().Now();
    EXPECT_EQ(BridgeWrite(bridge, "\x01\x02\x03", 3), STATUS_SUCCESS);
    const auto& out = model.serialOut();
    ASSERT_EQ(out.size(), 3u);
    for (std::uint64_t i = 0; i < 3; ++i) {
      EXPECT_EQ(out[i].time, CharacterEnd(start, i, 19200));
      EXPECT_EQ(out[i].rate, 19200u);
    }
    EXPECT_EQ(sim().Now(), out.back().time + L);
    Release(bridge);
  });
}

TEST_F(DevicesTest, ReadEndsWhenFullOrAfterThreeIdleCharacters) {
  Run([&] {
    BridgeHandle bridge = Normal(9600);
    Read full;
    Post(bridge, full, 4);
    host::VirtualTime start = sim().Now();
    FeedSerial({1, 2, 3, 4, 5, 6}, 9600);
    sim().RunUntil([&] { return full.done; });
    EXPECT_EQ(full.at, CharacterEnd(start, 3, 9600) + L);  // at its fourth byte
    EXPECT_THAT(std::vector<UCHAR>(full.buffer, full.buffer + 4), ElementsAre(1, 2, 3, 4));

    Read rest;
    Post(bridge, rest, 64);
    sim().RunUntil([&] { return rest.done; });
    EXPECT_EQ(rest.status.information, 2u);
    EXPECT_EQ(rest.at, CharacterEnd(start, 5, 9600) + 3 * CharacterTime(9600) + L);
    Release(bridge);
  });
}

TEST_F(DevicesTest, FullReceiveFifoDropsAndReportsAnOverrun) {
  Run([&] {
    BridgeHandle bridge = Normal(115200);
    sim().RunFor(host::kMillisecond);
    for (std::size_t i = 0; i < host::devices::kReceiveFifoSize + 3; ++i) {
      model.ReceiveSerial(0x11, 115200);
    }
    sim().RunFor(host::kMillisecond);
    EXPECT_EQ(model.bufferedBytes(), host::devices::kReceiveFifoSize);
    EXPECT_EQ(model.overruns(), 3u);
    EXPECT_EQ(bridge->lineStatus, host::devices::kSerialStateOverrun);
    Release(bridge);
  });
}

TEST_F(DevicesTest, CommandModeChangesSpeedEchoesOtherBytesAndDropsMisratedOnes) {
  Run([&] {
    BridgeHandle bridge = Normal(9600);
    SetControlLines(bridge, FALSE, TRUE);
    ASSERT_EQ(transceiver.state(), TransceiverState::kCommand);
    BridgeWrite(bridge, "\x12\x55", 2);
    sim().RunFor(10 * host::kMillisecond);
    EXPECT_EQ(transceiver.infraredSpeed(), 38400u);
    EXPECT_EQ(model.bufferedBytes(), 1u);  // the echo of 0x55 only
    const auto& echo = model.serialIn().back();
    EXPECT_EQ(echo.value, 0x55);
    EXPECT_EQ(echo.time, model.serialOut().back().time + CharacterTime(9600));

    SetBaudRate(bridge, 115200);
    BridgeWrite(bridge, "\x14", 1);
    sim().RunFor(10 * host::kMillisecond);
    EXPECT_EQ(transceiver.commands().back().outcome, TransceiverCommand::Outcome::kFramingError);
    EXPECT_EQ(transceiver.infraredSpeed(), 38400u);
    EXPECT_EQ(model.bufferedBytes(), 1u);
    Release(bridge);
  });
}

TEST_F(DevicesTest, MismatchedRatesGarbleEachByteBothWays) {
  Run([&] {
    BridgeHandle bridge = Normal(19200);  // the transceiver stays at 9600
    BridgeWrite(bridge, "\xC0", 1);
    ASSERT_FALSE(transceiver.infraredOut().empty());
    EXPECT_EQ(transceiver.infraredOut().back().value, ReceivedByte(0xC0, 19200, 9600));
    EXPECT_NE(transceiver.infraredOut().back().value, 0xC0);

    SetBaudRate(bridge, 9600);
    transceiver.InjectInfrared({0xC1}, 115200);
    sim().RunFor(host::kMillisecond);
    ASSERT_FALSE(model.serialIn().empty());
    EXPECT_EQ(model.serialIn().back().value, ReceivedByte(0xC1, 115200, 9600));
    Release(bridge);
  });
}

// With counts only, the bridge and the transceiver move the same bytes and keep their
// small records (requests, lines, commands), but no bytes and no bulk-transfer data.
TEST_F(DevicesTest, CountsOnlyKeepsTheCountsAndTheSmallRecordsButNoBytes) {
  using host::devices::BridgeEvent;
  Run([&] {
    model.SetRecording(host::devices::Recording::kCountsOnly);
    transceiver.SetRecording(host::devices::Recording::kCountsOnly);
    BridgeHandle bridge = Normal(9600);
    EXPECT_EQ(BridgeWrite(bridge, "\x01\x02\x03", 3), STATUS_SUCCESS);
    SetControlLines(bridge, FALSE, TRUE);
    BridgeWrite(bridge, "\x55", 1);  // echoed in command mode
    SetControlLines(bridge, TRUE, TRUE);
    transceiver.InjectInfrared({0x10, 0x20}, 9600);
    sim().RunFor(10 * host::kMillisecond);
    Read read;
    Post(bridge, read, sizeof read.buffer);
    ASSERT_TRUE(sim().RunUntil([&] { return read.done; }, sim().Now() + host::kSecond));
    EXPECT_THAT(std::vector<UCHAR>(read.buffer, read.buffer + read.status.information),
                ElementsAre(0x55, 0x10, 0x20));

    EXPECT_EQ(model.serialOutCount(), 4u);
    EXPECT_EQ(model.serialInCount(), 3u);
    EXPECT_EQ(transceiver.infraredOutCount(), 3u);
    EXPECT_EQ(transceiver.infraredInCount(), 2u);
    EXPECT_TRUE(model.serialOut().empty());
    EXPECT_TRUE(model.serialIn().empty());
    EXPECT_TRUE(transceiver.infraredOut().empty());
    EXPECT_TRUE(transceiver.infraredIn().empty());
    EXPECT_TRUE(model.EventsOf(BridgeEvent::Type::kBulkOut).empty());
    EXPECT_TRUE(model.EventsOf(BridgeEvent::Type::kBulkIn).empty());
    EXPECT_FALSE(model.EventsOf(BridgeEvent::Type::kLineCoding).empty());
    EXPECT_GE(model.EventsOf(BridgeEvent::Type::kControlLines).size(), 3u);
    EXPECT_GE(transceiver.lineChanges().size(), 3u);
    ASSERT_EQ(transceiver.commands().size(), 1u);
    EXPECT_EQ(transceiver.commands()[0].outcome, TransceiverCommand::Outcome::kEchoed);
    Release(bridge);
  });
}

TEST_F(DevicesTest, PoweredDownTransceiverDropsBytesAndWakesAt9600) {
  Run([&] {
    BridgeHandle bridge = Normal(9600);
    SetControlLines(bridge, FALSE, TRUE);
    BridgeWrite(bridge, "\x14", 1);  // to 115200
    SetControlLines(bridge, FALSE, FALSE);
    EXPECT_EQ(transceiver.state(), TransceiverState::kOff);
    std::size_t sent = transceiver.infraredOut().size();
    BridgeWrite(bridge, "\x01", 1);
    transceiver.InjectInfrared({0x02}, 115200);
    sim().RunFor(host::kMillisecond);
    EXPECT_EQ(transceiver.infraredOut().size(), sent);
    EXPECT_EQ(transceiver.droppedBytes(), 2u);
    SetControlLines(bridge, TRUE, TRUE);
    EXPECT_EQ(transceiver.infraredSpeed(), 9600u);
    Release(bridge);
  });
}

}  // namespace
}  // namespace sirtest
