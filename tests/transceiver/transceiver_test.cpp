// The transceiver's operations and the full link-speed change, checked as the exact
// traffic at the bridge with its virtual times, and as what the transceiver model did.
#include <gmock/gmock.h>

#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "tests/bridge/bridge_fixture.h"
#include "transceiver/transceiver.h"

namespace sirtest {
namespace {

using host::devices::CharacterEnd;
using host::devices::CharacterTime;
using host::devices::TransceiverState;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr host::VirtualTime L = host::usb::kDefaultLatency;  // every request's latency
constexpr host::VirtualTime us = host::kMicrosecond;

// The time two flags take to leave the bridge at a rate.
constexpr host::VirtualTime FlagsTime(std::uint32_t rate) { return CharacterEnd(0, 1, rate); }

class TransceiverTest : public BridgeTest {
 protected:
  IrDevice device{};

  // A started bridge in the state MiniportInitialize leaves it: 8N1, powered, at `speed`.
  BridgeHandle LinkAt(ULONG speed) {
    BridgeHandle bridge = StartedBridge();
    device.bridge = bridge;
    EXPECT_EQ(SetBaudRate(bridge, 9600), STATUS_SUCCESS);
    EXPECT_EQ(SetLineFormat(bridge, 0, 0, 8), STATUS_SUCCESS);
    EXPECT_EQ(TransceiverPowerOn(bridge), STATUS_SUCCESS);
    device.currentSpeed = 0;
    device.targetSpeed = FindSpeedRow(speed);
    EXPECT_EQ(IrSetLinkSpeed(&device), STATUS_SUCCESS);
    EXPECT_EQ(device.currentSpeed, speed);
    Mark();
    return bridge;
  }
  void Mark() {
    mark = model.events().size();
    start = sim().Now();
  }
  NTSTATUS ChangeTo(const SpeedTableRow* row) {
    device.targetSpeed = row;
    return IrSetLinkSpeed(&device);
  }
  std::vector<TimedTraffic> Since() const { return TimedTrafficSince(mark, start); }

  std::size_t mark = 0;
  host::VirtualTime start = 0;
};

TEST_F(TransceiverTest, ChangeFrom115200To57600SendsTheFullSequenceInTime) {
  Run([&] {
    BridgeHandle bridge = LinkAt(115200);
    ASSERT_EQ(transceiver.infraredSpeed(), 115200u);
    EXPECT_EQ(ChangeTo(FindSpeedRow(57600)), STATUS_SUCCESS);
    const TimedTraffic expected[] = {
        {"bulk-out c0 c0 @115200", 3906 * us},
        {"line-coding 9600", FlagsTime(115200) + L + 173 * us},
        {"lines 0x0002", L},
        {"lines 0x0003", L + 50'000 * us},
        {"lines 0x0001", L + 50'000 * us},
        {"bulk-out 13 @9600", L + 2'000 * us},
        {"lines 0x0003", CharacterTime(9600) + L + 2'000 * us},
        {"line-coding 57600", L + 5'000 * us},
    };
    EXPECT_THAT(Since(), ElementsAreArray(expected));
    EXPECT_EQ(device.currentSpeed, 57600u);
    EXPECT_EQ(model.lineCoding().rate, 57600u);
    EXPECT_EQ(transceiver.infraredSpeed(), 57600u);
    EXPECT_EQ(transceiver.state(), TransceiverState::kNormal);
    Release(bridge);
  });
}

TEST_F(TransceiverTest, ChangeFrom9600To9600SendsOnlyTheFlags) {
  Run([&] {
    BridgeHandle bridge = LinkAt(9600);
    EXPECT_EQ(ChangeTo(FindSpeedRow(9600)), STATUS_SUCCESS);
    EXPECT_THAT(Since(), ElementsAre(TimedTraffic{"bulk-out c0 c0 @9600", 46'875 * us}));
    EXPECT_EQ(device.currentSpeed, 9600u);
    Release(bridge);
  });
}

TEST_F(TransceiverTest, ChangeToSpeedWithoutCommandFailsAndKeepsTheLinkWorking) {
  Run([&] {
    BridgeHandle bridge = LinkAt(115200);
    std::size_t commands = transceiver.commands().size();
    EXPECT_EQ(ChangeTo(FindSpeedRow(576000)), STATUS_UNSUCCESSFUL);
    EXPECT_THAT(Traffic(mark), ElementsAre("bulk-out c0 c0 @115200"));
    EXPECT_EQ(transceiver.commands().size(), commands);
    EXPECT_EQ(device.currentSpeed, 115200u);
    // Bridge and transceiver still agree, so frames still get through clean.
    EXPECT_EQ(model.lineCoding().rate, 115200u);
    EXPECT_EQ(transceiver.infraredSpeed(), 115200u);
    EXPECT_EQ(BridgeWrite(bridge, "\x7E", 1), STATUS_SUCCESS);
    EXPECT_EQ(transceiver.infraredOut().back().value, 0x7E);
    Release(bridge);
  });
}

TEST_F(TransceiverTest, FirstChangeFromSpeedZeroHasNoWaits) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    device.bridge = bridge;
    SetLineFormat(bridge, 0, 0, 8);
    TransceiverPowerOn(bridge);
    Mark();
    EXPECT_EQ(ChangeTo(FindSpeedRow(115200)), STATUS_SUCCESS);
    const TimedTraffic expected[] = {
        {"bulk-out c0 c0 @9600", 0},
        {"line-coding 9600", FlagsTime(9600) + L},
        {"lines 0x0002", L},
        {"lines 0x0003", L + 50'000 * us},
        {"lines 0x0001", L + 50'000 * us},
        {"bulk-out 14 @9600", L + 2'000 * us},
        {"lines 0x0003", CharacterTime(9600) + L + 2'000 * us},
        {"line-coding 115200", L + 5'000 * us},
    };
    EXPECT_THAT(Since(), ElementsAreArray(expected));
    EXPECT_EQ(transceiver.infraredSpeed(), 115200u);
    Release(bridge);
  });
}

TEST_F(TransceiverTest, NoTargetMovesTheLinkTo9600) {
  Run([&] {
    BridgeHandle bridge = LinkAt(57600);
    EXPECT_EQ(ChangeTo(nullptr), STATUS_SUCCESS);
    EXPECT_THAT(Traffic(mark), ElementsAre("bulk-out c0 c0 @57600", "line-coding 9600",
                                           "lines 0x0002", "lines 0x0003", "lines 0x0001",
                                           "bulk-out 10 @9600", "lines 0x0003"));
    EXPECT_EQ(device.currentSpeed, 9600u);
    EXPECT_EQ(transceiver.infraredSpeed(), 9600u);
    Release(bridge);
  });
}

struct WaitCase {
  ULONG from;
  ULONG to;
  host::VirtualTime before;  // the quiet time before the flags
  host::VirtualTime after;   // after the flags have left
};

class LinkSpeedWaitTest : public TransceiverTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(LinkSpeedWaitTest, FlagsAreFramedBy450And20BitTimes) {
  const WaitCase& wait = GetParam();
  Run([&] {
    BridgeHandle bridge = LinkAt(wait.from);
    EXPECT_EQ(ChangeTo(FindSpeedRow(wait.to)), STATUS_SUCCESS);
    std::vector<TimedTraffic> traffic = Since();
    ASSERT_GE(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].gap, wait.before);
    EXPECT_EQ(traffic[1].gap, FlagsTime(wait.from) + L + wait.after);
    Release(bridge);
  });
}

INSTANTIATE_TEST_SUITE_P(Speeds, LinkSpeedWaitTest,
                         ::testing::Values(WaitCase{9600, 19200, 46'875 * us, 2'083 * us},
                                           WaitCase{115200, 57600, 3'906 * us, 173 * us}));

TEST_F(TransceiverTest, PowerOnAndShutdownDriveTheLines) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    Mark();
    EXPECT_EQ(TransceiverPowerOn(bridge), STATUS_SUCCESS);
    EXPECT_THAT(Since(), ElementsAre(TimedTraffic{"lines 0x0000", 0},
                                     TimedTraffic{"lines 0x0002", L + 50'000 * us},
                                     TimedTraffic{"lines 0x0003", L + 50'000 * us}));
    EXPECT_EQ(sim().Now() - model.events().back().time, L + 50'000 * us);
    EXPECT_EQ(transceiver.state(), TransceiverState::kNormal);
    EXPECT_EQ(transceiver.infraredSpeed(), 9600u);

    Mark();
    TransceiverShutdown(bridge);
    EXPECT_THAT(Traffic(mark), ElementsAre("lines 0x0002", "lines 0x0000"));
    EXPECT_EQ(transceiver.state(), TransceiverState::kOff);
    Release(bridge);
  });
}

TEST_F(TransceiverTest, InitializeBringsAnUnsetTransceiverTo9600) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    Mark();
    EXPECT_EQ(TransceiverInitialize(bridge), STATUS_SUCCESS);
    EXPECT_THAT(Traffic(mark), ElementsAre("line-coding 9600", "lines 0x0002", "lines 0x0003",
                                           "lines 0x0001", "bulk-out 10 @9600", "lines 0x0003"));
    Mark();
    EXPECT_EQ(TransceiverSetSpeed(bridge, 19200, 19200), STATUS_SUCCESS);  // nothing to do
    EXPECT_TRUE(Traffic(mark).empty());
    Release(bridge);
  });
}

TEST_F(TransceiverTest, OperationsTableHoldsPlaceholdersThenTheRealOperations) {
  Run([&] {
    InstallPlaceholderTransceiverOps(&device);
    TransceiverCaps caps{1, 2, 3};
    EXPECT_EQ(device.transceiverOps.QueryCaps(&caps), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(caps.speedMask, 1u);
    EXPECT_EQ(device.transceiverOps.Initialize(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device.transceiverOps.SetSpeed(nullptr, 9600, 0), STATUS_UNSUCCESSFUL);
    device.transceiverOps.Shutdown(nullptr);

    EXPECT_EQ(InstallTransceiverOps(&device), STATUS_SUCCESS);
    EXPECT_EQ(device.transceiverOps.QueryCaps, &TransceiverQueryCaps);
    EXPECT_EQ(device.transceiverOps.Initialize, &TransceiverInitialize);
    EXPECT_EQ(device.transceiverOps.SetSpeed, &TransceiverSetSpeed);
    EXPECT_EQ(device.transceiverOps.Shutdown, &TransceiverShutdown);
    EXPECT_EQ(device.transceiverOps.QueryCaps(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.speedMask, 0x3Eu);
    EXPECT_EQ(caps.turnaroundTime, 100u);
    EXPECT_EQ(caps.extraBofs, 0u);
    EXPECT_TRUE(lower.requests().empty());
  });
}

TEST_F(TransceiverTest, LinkCarriesBytesBothWaysAtTheNewSpeed) {
  Run([&] {
    BridgeHandle bridge = LinkAt(38400);
    EXPECT_EQ(BridgeWrite(bridge, "\xC0\x42\xC1", 3), STATUS_SUCCESS);
    std::vector<std::uint8_t> sent;
    for (const auto& byte : transceiver.infraredOut()) sent.push_back(byte.value);
    EXPECT_THAT(std::vector<std::uint8_t>(sent.end() - 3, sent.end()), ElementsAre(0xC0, 0x42, 0xC1));
    EXPECT_EQ(transceiver.infraredOut().back().rate, 38400u);

    UCHAR buffer[16] = {};
    BulkStatusBlock status{};
    bool done = false;
    struct Context {
      bool* done;
    } context{&done};
    auto handler = [](PDEVICE_OBJECT, PIRP irp, PVOID raw) -> NTSTATUS {
      *static_cast<Context*>(raw)->done = true;
      IoFreeIrp(irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    };
    ASSERT_EQ(BulkReadAsync(bridge, buffer, sizeof buffer, handler, &context, &status),
              STATUS_PENDING);
    transceiver.InjectInfrared({0xC0, 0x99, 0xC1}, 38400);
    ASSERT_TRUE(sim().RunUntil([&] { return done; }, sim().Now() + host::kSecond));
    EXPECT_EQ(status.information, 3u);
    EXPECT_THAT(std::vector<std::uint8_t>(buffer, buffer + 3), ElementsAre(0xC0, 0x99, 0xC1));
    Release(bridge);
  });
}

// A change the device did not carry out is not counted: a refused request of the sequence
// fails it, and the link keeps the speed it had.
TEST_F(TransceiverTest, ASpeedChangeWithARefusedRequestFailsAndKeepsTheSpeed) {
  using host::usb::ControlRequest;
  struct Case {
    const char* name;
    std::function<void()> fault;
  };
  const Case cases[] = {
      {"rate to 9600", [&] { lower.StallNext(ControlRequest::kSetLineCoding); }},
      {"speed-change entry", [&] { lower.StallNext(ControlRequest::kSetControlLineState); }},
      {"command state",
       [&] {
         lower.FailNext(ControlRequest::kSetControlLineState, host::usb::kUrbSuccess, 2);
         lower.StallNext(ControlRequest::kSetControlLineState);
       }},
      {"command byte", [&] { lower.StallNext(host::usb::RequestKind::kBulkOut, 2); }},
  };
  Run([&] {
    for (const Case& each : cases) {
      SCOPED_TRACE(each.name);
      BridgeHandle bridge = LinkAt(115200);
      each.fault();
      EXPECT_EQ(ChangeTo(FindSpeedRow(57600)), STATUS_UNSUCCESSFUL);
      EXPECT_EQ(device.currentSpeed, 115200u);
      lower.ClearFailures();
      EXPECT_EQ(ChangeTo(FindSpeedRow(57600)), STATUS_SUCCESS);  // restated in full
      EXPECT_EQ(transceiver.infraredSpeed(), 57600u);
      Release(bridge);
    }
  });
}

// A device that stops answering ends a sequence at the first request that timed out,
// rather than costing 3 s for each of its requests.
TEST_F(TransceiverTest, ASequenceEndsAtTheFirstRequestTheDeviceLeavesUnanswered) {
  Run([&] {
    BridgeHandle bridge = LinkAt(115200);
    lower.SetDelivery(host::usb::RequestKind::kClassRequest, host::usb::Delivery::kNever);
    EXPECT_EQ(TransceiverSetSpeed(bridge, 57600, 115200), STATUS_IO_TIMEOUT);
    EXPECT_LT(sim().Now() - start, 3 * host::kSecond + host::kMillisecond);
    Mark();
    EXPECT_EQ(TransceiverPowerOn(bridge), STATUS_SUCCESS);
    TransceiverShutdown(bridge);
    EXPECT_LT(sim().Now() - start, 2 * (3 * host::kSecond + host::kMillisecond));
    lower.SetDelivery(host::usb::RequestKind::kClassRequest, host::usb::Delivery::kLater);
    Release(bridge);
  });
}

struct SpeedChangeThread {
  IrDevice* device;
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
};

void RunSpeedChange(PVOID context) {
  auto* change = static_cast<SpeedChangeThread*>(context);
  change->status = IrSetLinkSpeed(change->device);
  change->done = true;
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(TransceiverTest, SpeedChangeWaitsForASequenceInProgress) {
  Run([&] {
    BridgeHandle bridge = LinkAt(9600);
    device.targetSpeed = FindSpeedRow(19200);
    SpeedChangeThread change{&device};
    BeginTransceiverSequence(bridge);
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, RunSpeedChange, &change),
              STATUS_SUCCESS);
    sim().RunFor(host::kSecond);
    EXPECT_FALSE(change.done);
    EXPECT_TRUE(Traffic(mark).empty());  // held off entirely
    EndTransceiverSequence(bridge);
    ASSERT_TRUE(sim().RunUntil([&] { return change.done; }, sim().Now() + host::kSecond));
    EXPECT_EQ(change.status, STATUS_SUCCESS);
    EXPECT_EQ(device.currentSpeed, 19200u);
    ZwClose(thread);
    Release(bridge);
  });
}

}  // namespace
}  // namespace sirtest
