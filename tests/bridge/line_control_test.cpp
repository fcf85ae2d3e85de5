// Line coding and control lines as they reach the device, and the status accessors.
#include <gmock/gmock.h>

#include <functional>

#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "tests/bridge/bridge_fixture.h"

namespace sirtest {
namespace {

using host::devices::BridgeEvent;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class LineControlTest : public BridgeTest {
 protected:
  std::vector<std::uint32_t> LineValuesSince(std::size_t from) const {
    std::vector<std::uint32_t> values;
    for (std::size_t i = from; i < model.events().size(); ++i) {
      if (model.events()[i].type == BridgeEvent::Type::kControlLines) {
        values.push_back(model.events()[i].value);
      }
    }
    return values;
  }
  std::vector<std::uint8_t> LastLineCoding() const {
    auto sent = model.EventsOf(BridgeEvent::Type::kLineCoding);
    return sent.empty() ? std::vector<std::uint8_t>{} : sent.back().data;
  }
};

struct LinesCase {
  BOOLEAN rts;
  BOOLEAN dtr;
  std::uint32_t wValue;
};

TEST_F(LineControlTest, SetControlLinesSendsBothLinesAsWValue) {
  const LinesCase cases[] = {
      {TRUE, FALSE, 0x0002}, {FALSE, TRUE, 0x0001}, {TRUE, TRUE, 0x0003}, {FALSE, FALSE, 0x0000},
  };
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    for (const LinesCase& line : cases) {
      std::size_t mark = model.events().size();
      EXPECT_EQ(SetControlLines(bridge, line.rts, line.dtr), STATUS_SUCCESS);
      EXPECT_THAT(LineValuesSince(mark), ElementsAre(line.wValue));
      EXPECT_EQ(bridge->controlLines, line.wValue);
      EXPECT_EQ(model.rts(), (line.wValue & 2) != 0);
      EXPECT_EQ(model.dtr(), (line.wValue & 1) != 0);
    }
    Release(bridge);
  });
}

TEST_F(LineControlTest, SingleLineRoutinesKeepTheOtherLine) {
  const std::pair<std::function<NTSTATUS(BridgeHandle)>, std::uint32_t> steps[] = {
      {[](BridgeHandle b) { return SetControlLines(b, TRUE, FALSE); }, 0x0002},
      {SetDtr, 0x0003},
      {ClearRts, 0x0001},
      {SetRts, 0x0003},
      {ClearDtr, 0x0002},
      {ClearRts, 0x0000},
  };
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    std::size_t mark = model.events().size();
    std::vector<std::uint32_t> expected;
    for (const auto& [step, value] : steps) {
      EXPECT_EQ(step(bridge), STATUS_SUCCESS);
      expected.push_back(value);
    }
    EXPECT_THAT(LineValuesSince(mark), ElementsAreArray(expected));
    Release(bridge);
  });
}

TEST_F(LineControlTest, LineCodingCarriesRateAndLastFormatInEightBytes) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    // Before any format was set the three format bytes are zero.
    EXPECT_EQ(SetBaudRate(bridge, 9600), STATUS_SUCCESS);
    EXPECT_THAT(LastLineCoding(), ElementsAre(0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00));

    EXPECT_EQ(SetLineFormat(bridge, 0, 0, 8), STATUS_SUCCESS);
    EXPECT_THAT(LastLineCoding(), ElementsAre(0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00));
    EXPECT_EQ(SetBaudRate(bridge, 57600), STATUS_SUCCESS);
    EXPECT_THAT(LastLineCoding(), ElementsAre(0x00, 0xE1, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00));
    EXPECT_EQ(SetBaudRate(bridge, 9600), STATUS_SUCCESS);
    EXPECT_THAT(LastLineCoding(), ElementsAre(0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00));
    EXPECT_EQ(model.lineCoding().rate, 9600u);
    EXPECT_EQ(model.lineCoding().dataBits, 8);
    Release(bridge);
  });
}

TEST_F(LineControlTest, NoUrbLeavesLineCodingButKeepsLineBits) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    ASSERT_EQ(SetBaudRate(bridge, 19200), STATUS_SUCCESS);
    std::size_t requests = lower.requests().size();
    sim().faults().FailTag(kBridgeTag);
    EXPECT_EQ(SetBaudRate(bridge, 57600), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetLineFormat(bridge, 1, 2, 7), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetDtr(bridge), STATUS_INSUFFICIENT_RESOURCES);
    sim().faults().StopFailingTag(kBridgeTag);
    EXPECT_EQ(lower.requests().size(), requests);
    EXPECT_EQ(bridge->lineCoding.dwDTERate, 19200u);
    EXPECT_EQ(bridge->lineCoding.bDataBits, 0);
    // The DTR bit stayed in the record: the next line request restates it.
    std::size_t mark = model.events().size();
    EXPECT_EQ(SetRts(bridge), STATUS_SUCCESS);
    EXPECT_THAT(LineValuesSince(mark), ElementsAre(0x0003));
    Release(bridge);
  });
}

TEST_F(LineControlTest, StatusCountsReadAndClear) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    model.SetSerialState(host::devices::kSerialStateDsr);
    BulkStatusBlock status{};
    auto freeIrp = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
      IoFreeIrp(irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    };
    EXPECT_EQ(BulkWriteAsync(bridge, "abc", 3, freeIrp, nullptr, &status), STATUS_PENDING);
    sim().RunFor(10 * host::kMillisecond);

    USHORT line = 0;
    ULONG in = 9, out = 0;
    EXPECT_EQ(GetBridgeStatus(bridge, &line, &in, &out), STATUS_SUCCESS);
    EXPECT_EQ(line, host::devices::kSerialStateDsr);
    EXPECT_EQ(in, 0u);
    EXPECT_EQ(out, 1u);
    EXPECT_EQ(ClearBridgeStatus(bridge), STATUS_SUCCESS);
    EXPECT_EQ(GetBridgeStatus(bridge, &line, &in, &out), STATUS_SUCCESS);
    EXPECT_EQ(line, 0);
    EXPECT_EQ(in, 0u);
    EXPECT_EQ(out, 0u);
    Release(bridge);
  });
}

}  // namespace
}  // namespace sirtest
