// The scripted peer facing one adapter: its bytes reach the adapter at their times and
// speed, one batch after another; what the adapter sends reaches it; its waits; its
// medium's disturbances; bad input.
#include <gmock/gmock.h>

#include <stdexcept>

#include "host/devices/scripted_peer.h"
#include "tests/host/kernel_test_support.h"
#include "tests/host/medium_fixture.h"

namespace sirtest {
namespace {

using host::devices::CharacterEnd;
using host::devices::Disturbance;
using host::devices::MediumDirection;
using host::devices::ReceivedByte;
using host::devices::ScriptedPeer;
using host::devices::TimedByte;

struct PeerCase {
  const char* name;
  ULONG adapterSpeed;
  std::uint32_t peerSpeed;
  host::VirtualTime delay;  // from now to the start of the first batch
};

class ScriptedPeerSendTest : public MediumTest, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(ScriptedPeerSendTest, BatchesArriveBackToBackOneAfterAnotherAtTheirTimes) {
  const PeerCase& test = GetParam();
  Run([&] {
    BringUp(a, test.adapterSpeed);
    ScriptedPeer peer(sim(), a.transceiver);
    std::size_t serialMark = a.model.serialIn().size();
    const std::vector<std::uint8_t> first = {0xC0, 0xFF, 0x3F, 0x7D, 0x5D, 0xC1};
    const std::vector<std::uint8_t> second = {0xC0, 0x01, 0xC1};
    host::VirtualTime start = sim().Now() + test.delay;
    host::VirtualTime firstEnd = peer.SendAt(start, first, test.peerSpeed);
    EXPECT_EQ(firstEnd, CharacterEnd(start, first.size() - 1, test.peerSpeed));
    // Given while the first batch is still to go out, the second one follows it.
    host::VirtualTime secondEnd = peer.Send(second, test.peerSpeed);
    EXPECT_EQ(secondEnd, CharacterEnd(firstEnd, second.size() - 1, test.peerSpeed));
    sim().RunUntil([&] { return false; }, secondEnd + host::kMillisecond);

    std::vector<std::uint8_t> bytes = first;
    bytes.insert(bytes.end(), second.begin(), second.end());
    std::vector<host::VirtualTime> times = CharacterEnds(start, first.size(), test.peerSpeed);
    for (host::VirtualTime time : CharacterEnds(firstEnd, second.size(), test.peerSpeed)) {
      times.push_back(time);
    }
    const std::vector<TimedByte>& heard = a.transceiver.infraredIn();
    EXPECT_EQ(Values(heard), bytes);
    EXPECT_EQ(Times(heard), times);
    for (const TimedByte& byte : heard) EXPECT_EQ(byte.rate, test.peerSpeed);
    EXPECT_EQ(peer.medium().sent(MediumDirection::kBToA), heard);

    std::vector<TimedByte> serial(a.model.serialIn().begin() + serialMark, a.model.serialIn().end());
    std::vector<std::uint8_t> expected;
    for (std::uint8_t byte : bytes) {
      expected.push_back(ReceivedByte(byte, test.peerSpeed, test.adapterSpeed));
    }
    EXPECT_EQ(Values(serial), expected);
    EXPECT_EQ(Times(serial), times);
    EXPECT_TRUE(peer.received().empty());  // the peer does not hear itself
    ReleaseAll();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, ScriptedPeerSendTest,
    ::testing::Values(PeerCase{"Now115200", 115200, 115200, 0},
                      PeerCase{"Later9600", 9600, 9600, 5 * host::kMillisecond},
                      PeerCase{"AtAnotherSpeedGarbled", 57600, 19200, host::kMillisecond}),
    kerneltest::CaseName<PeerCase>);

TEST_F(MediumTest, AdapterBytesReachThePeerAndItsWaitsEndOnThem) {
  Run([&] {
    BringUp(a, 38400);
    ScriptedPeer peer(sim(), a.transceiver);
    const std::vector<std::uint8_t> frames = {0xC0, 0x01, 0x02, 0xC1, 0xC0, 0x03, 0xC1};
    StartWrite(a, frames);

    std::optional<std::size_t> flag = peer.WaitForByte(0xC1);
    ASSERT_EQ(flag, 3u);
    EXPECT_EQ(sim().Now(), peer.received()[3].time);  // the wait ends as the flag arrives
    EXPECT_EQ(peer.WaitForByte(0xC1, *flag + 1), 6u);
    EXPECT_TRUE(peer.WaitForBytes(frames.size()));
    FinishWrites();

    const std::vector<TimedByte>& received = peer.received();
    EXPECT_EQ(Values(received), frames);
    EXPECT_EQ(Times(received), CharacterEnds(LastBulkOutStart(a), frames.size(), 38400));
    for (const TimedByte& byte : received) EXPECT_EQ(byte.rate, 38400u);
    EXPECT_EQ(peer.WaitForByte(0xC1), 3u);  // already there: no wait

    // Nothing more comes: both waits give up at their deadline.
    host::VirtualTime deadline = sim().Now() + 20 * host::kMillisecond;
    EXPECT_EQ(peer.WaitForByte(0xC1, frames.size(), deadline), std::nullopt);
    EXPECT_EQ(sim().Now(), deadline);
    deadline += 20 * host::kMillisecond;
    EXPECT_FALSE(peer.WaitForBytes(frames.size() + 1, deadline));
    EXPECT_EQ(sim().Now(), deadline);
    ReleaseAll();
  });
}

TEST_F(MediumTest, PeerTrafficMeetsTheDisturbancesOfItsMedium) {
  Run([&] {
    BringUp(a, 9600);
    ScriptedPeer peer(sim(), a.transceiver, 11);
    peer.medium().SetDisturbances(MediumDirection::kBToA, {0.0, 1.0});
    peer.medium().SetDisturbances(MediumDirection::kAToB, {1.0, 0.0});
    host::VirtualTime end = peer.Send({0xC0, 0x55, 0xC1}, 9600);
    Write(a, {0x0F, 0xF0});
    sim().RunUntil([&] { return false; }, end + host::kMillisecond);

    EXPECT_TRUE(a.transceiver.infraredIn().empty());
    EXPECT_EQ(peer.medium().disturbances(MediumDirection::kBToA).size(), 3u);
    for (const Disturbance& lost : peer.medium().disturbances(MediumDirection::kBToA)) {
      EXPECT_EQ(lost.kind, Disturbance::Kind::kLostByte);
    }
    EXPECT_EQ(Values(peer.received()), (std::vector<std::uint8_t>{0xF0, 0x0F}));
    ReleaseAll();
  });
}

TEST_F(MediumTest, PeerRefusesSpeedZeroAndStartsInThePast) {
  Run([&] {
    ScriptedPeer peer(sim(), a.transceiver);
    sim().RunFor(host::kMillisecond);
    EXPECT_THROW(peer.Send({0x01}, 0), std::invalid_argument);
    EXPECT_THROW(peer.SendAt(sim().Now() - 1, {0x01}, 9600), std::invalid_argument);
    EXPECT_EQ(peer.SendAt(sim().Now() + 5, {}, 9600), sim().Now() + 5);  // nothing to send
    sim().RunFor(10 * host::kMillisecond);
    EXPECT_TRUE(peer.medium().sent(MediumDirection::kBToA).empty());
  });
}

}  // namespace
}  // namespace sirtest
