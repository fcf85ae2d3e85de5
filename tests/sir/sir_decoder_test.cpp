// The SIR frame decoder: each transition of its table, frames split across reads at
// every position, the length limit, and a round trip through the encoder.
#include "sir/sir_decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "sir/sir_encoder.h"
#include "tests/receive/test_receiver.h"
#include "tests/sir/sir_reference.h"
#include "host/ndis/send_packet.h"
#include "tests/support/sim_test.h"

namespace sirtest {
namespace {

// Frames delivered by the decoder reach the indication; those with a good FCS are
// indicated (payload without FCS), the others are counted as dropped there.
struct DecodeCase {
  const char* name;
  Bytes input;
  std::vector<Bytes> indicated = {};
  ULONG dropped = 0;
  RxState state = Hunt;
  ULONG frameLength = 0;
};

const Bytes kA = {0x11, 0x22};
const Bytes kC = {0x33, 0x44};

// The stuffed frame bytes (payload and FCS) between the flags.
Bytes Body(const Bytes& payload) { return Stuffed(WithFcs(payload)); }
Bytes FcsOf(const Bytes& payload) { return Stuffed(FcsBytes(payload)); }

class SirDecoder : public SimTest {};

TEST_F(SirDecoder, DecodesEachCaseWhereverTheReadsSplitIt) {
  const DecodeCase cases[] = {
      {"flags then a 4-byte frame", Cat({{0xC0, 0xC0, 0xC0}, Body(kA), {0xC1}}), {kA}},
      {"a 3-byte frame is dropped silently", {0xC0, 0x11, 0x22, 0x33, 0xC1}},
      {"a 4-byte frame with a bad FCS reaches the indication",
       {0xC0, 0x11, 0x22, 0x33, 0x44, 0xC1}, {}, 1},
      {"bytes before the first BOF are ignored",
       Cat({{0x11, 0xC1, 0x7D, 0x5D}, {0xC0}, Body(kA), {0xC1}}), {kA}},
      {"BOF EOF returns to hunting", {0xC0, 0xC1}},
      {"EOF outside a frame is ignored", {0xC1, 0xC1, 0x11}},
      {"an escape as the first frame byte",
       Cat({{0xC0, 0x7D, 0x5D, 0x11}, FcsOf({0x7D, 0x11}), {0xC1}}), {{0x7D, 0x11}}},
      {"escaped forms as plain bytes pass unchanged",
       Cat({{0xC0, 0x5D, 0xE0}, FcsOf({0x5D, 0xE0}), {0xC1}}), {{0x5D, 0xE0}}},
      {"an unknown escaped byte is dropped and the escape stays",
       Cat({{0xC0, 0x11, 0x7D, 0x41, 0x5D}, FcsOf({0x11, 0x7D}), {0xC1}}), {{0x11, 0x7D}}},
      {"a BOF inside a frame starts over", Cat({{0xC0, 0x11, 0x22, 0xC0}, Body(kC), {0xC1}}),
       {kC}},
      {"CE BOF starts over", Cat({{0xC0, 0x11, 0x22, 0x7D, 0xC0}, Body(kC), {0xC1}}), {kC}},
      {"CE EOF aborts the frame", {0xC0, 0x11, 0x22, 0x7D, 0xC1, 0x33, 0x44, 0xC1}},
      {"CE CE aborts the frame", {0xC0, 0x11, 0x22, 0x7D, 0x7D, 0x33, 0x44, 0xC1}},
      {"BOF CE EOF aborts before the first byte", {0xC0, 0x7D, 0xC1, 0x11, 0xC1}},
      {"two frames in one read", Cat({{0xC0}, Body(kA), {0xC1, 0xC0}, Body(kC), {0xC1}}),
       {kA, kC}},
      {"a frame still open", {0xC0, 0x11, 0x22}, {}, 0, InFrame, 2},
      {"an escape still open", {0xC0, 0x11, 0x7D}, {}, 0, Escape, 1},
      {"flags only", {0xC0, 0xC0}, {}, 0, AfterBof, 0},
  };
  Run([&] {
    for (const DecodeCase& c : cases) {
      for (std::size_t split = 0; split <= c.input.size(); ++split) {
        SCOPED_TRACE(std::string(c.name) + ", split after byte " + std::to_string(split));
        TestReceiver receiver;
        receiver.Feed(Bytes(c.input.begin(), c.input.begin() + split));
        receiver.Feed(Bytes(c.input.begin() + split, c.input.end()));
        EXPECT_EQ(receiver.IndicatedPayloads(), c.indicated);
        EXPECT_EQ(receiver.device().packetsDropped, c.dropped);
        EXPECT_EQ(receiver.device().rxOverflows, 0u);
        EXPECT_EQ(receiver.device().rxState, c.state);
        EXPECT_EQ(receiver.device().rxFrameLength, c.frameLength);
      }
    }
  });
}

TEST_F(SirDecoder, FramesInOneReadGoIntoBuffersOfTheirOwn) {
  Run([&] {
    TestReceiver receiver;
    receiver.ndis().KeepPackets();
    receiver.Feed(Cat({{0xC0}, Body(kA), {0xC1, 0xC0}, Body(kC), {0xC1}}));
    EXPECT_EQ(receiver.PendingList(), (std::vector<int>{0, 1}));
    EXPECT_EQ(receiver.Current(), 2);
    const auto& indications = receiver.ndis().indications();
    ASSERT_EQ(indications.size(), 2u);
    EXPECT_EQ(indications[0].packet, receiver.device().rxBuffers[0].packet);
    EXPECT_EQ(indications[1].packet, receiver.device().rxBuffers[1].packet);
  });
}

TEST_F(SirDecoder, ReturnsTheStatusOfTheLastIndication) {
  Run([&] {
    TestReceiver receiver;
    EXPECT_EQ(receiver.Feed({0xC0, 0x11, 0xC1}), NDIS_STATUS_SUCCESS);
    receiver.ndis().KeepPackets();
    EXPECT_EQ(receiver.Feed(Cat({{0xC0}, Body(kA), {0xC1}})), NDIS_STATUS_PENDING);
    EXPECT_EQ(receiver.Feed(Cat({{0xC0}, Body(kA), {0xC1, 0xC0, 0x11, 0x22, 0x33, 0x44, 0xC1}})),
              NDIS_STATUS_FAILURE);
  });
}

// The longest frame, 2050 bytes of payload and the FCS, is delivered; one more byte
// overflows, and the rest of that read (a whole good frame among it) is lost.
TEST_F(SirDecoder, LengthLimitAtTheBoundary) {
  std::mt19937 random(2052);
  Bytes longest = RandomPayload(random, 2050);
  Bytes longestFrame = WithFcs(longest);  // 2052 bytes
  Bytes overlong(2053, 0x5A);
  Bytes good = Cat({{0xC0}, Body(kA), {0xC1}});
  Run([&] {
    {
      SCOPED_TRACE("2052 bytes");
      TestReceiver receiver;
      receiver.Feed(Cat({{0xC0}, Stuffed(longestFrame), {0xC1}}));
      EXPECT_EQ(receiver.IndicatedPayloads(), std::vector<Bytes>{longest});
      EXPECT_EQ(receiver.device().rxOverflows, 0u);
    }
    {
      SCOPED_TRACE("2053 bytes, then a good frame in the same read");
      TestReceiver receiver;
      receiver.Feed(Cat({{0xC0}, overlong, {0xC1}, good}));
      EXPECT_TRUE(receiver.IndicatedPayloads().empty());
      EXPECT_EQ(receiver.device().rxOverflows, 1u);
      EXPECT_EQ(receiver.device().rxState, Hunt);
      EXPECT_EQ(receiver.device().rxFrameLength, 0u);
      EXPECT_EQ(receiver.device().rxBuffers[0].data[2052], 0x5A) << "the 2053rd byte is stored";
      receiver.Feed(good);
      EXPECT_EQ(receiver.IndicatedPayloads(), std::vector<Bytes>{kA});
    }
    // Wherever the first read ends, the read that holds the 2053rd byte loses the rest.
    Bytes overlongFrame = Cat({{0xC0}, overlong});
    for (std::size_t split : {1u, 1000u, 2052u, 2053u}) {
      SCOPED_TRACE("2053 bytes split after input byte " + std::to_string(split));
      TestReceiver receiver;
      receiver.Feed(Bytes(overlongFrame.begin(), overlongFrame.begin() + split));
      receiver.Feed(Cat({Bytes(overlongFrame.begin() + split, overlongFrame.end()), {0xC1}, good}));
      EXPECT_EQ(receiver.device().rxOverflows, 1u);
      EXPECT_TRUE(receiver.IndicatedPayloads().empty());
    }
    {
      SCOPED_TRACE("2053 bytes ending a read: the next read starts afresh");
      TestReceiver receiver;
      receiver.Feed(overlongFrame);
      EXPECT_EQ(receiver.device().rxOverflows, 1u);
      EXPECT_EQ(receiver.device().rxState, Hunt);
      receiver.Feed(Cat({{0xC1}, good}));
      EXPECT_EQ(receiver.IndicatedPayloads(), std::vector<Bytes>{kA});
    }
  });
}

// Frames from the encoder, with noise between them, fed in reads of random sizes: every
// frame arrives intact, with header size 2 and without its FCS.
TEST_F(SirDecoder, RoundTripThroughTheEncoder) {
  std::mt19937 random(4265);
  Run([&] {
    for (int round = 0; round < 8; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      TestReceiver receiver;
      switch (round % 3) {
        case 0: receiver.ndis().HandBackPackets(NDIS_STATUS_SUCCESS); break;
        case 1: receiver.ndis().HandBackPackets(NDIS_STATUS_RESOURCES); break;
        case 2: receiver.ndis().ReturnDuringIndication(); break;
      }
      std::vector<Bytes> payloads;
      Bytes stream;
      for (int frame = 0; frame < 40; ++frame) {
        std::size_t length = frame == 0 ? 2050 : frame == 1 ? 2 : 2 + random() % 2049;
        payloads.push_back(RandomPayload(random, length));
        host::ndis::SendPacket packet(payloads.back(), {static_cast<UINT>(length / 3),
                                            static_cast<UINT>(length - length / 3)});
        packet.AttachIrdaInfo(random() % 8, 0);
        IrDevice sender{};
        Bytes out(kTxBufferSize);
        ULONG frameLength = 0;
        ASSERT_TRUE(SirEncodeFrame(&sender, packet.get(), out.data(), kTxBufferSize, &frameLength));
        stream.insert(stream.end(), out.begin(), out.begin() + frameLength);
        for (unsigned noise = random() % 4; noise != 0; --noise) stream.push_back(0x55);
      }
      for (std::size_t at = 0; at < stream.size();) {
        std::size_t read = std::min<std::size_t>(1 + random() % kReadBufferSize, stream.size() - at);
        receiver.Feed(Bytes(stream.begin() + at, stream.begin() + at + read));
        at += read;
      }
      EXPECT_EQ(receiver.IndicatedPayloads(), payloads);
      for (const auto& indication : receiver.ndis().indications()) {
        EXPECT_EQ(indication.headerSize, 2u);
      }
      EXPECT_EQ(receiver.device().packetsDropped, 0u);
      EXPECT_EQ(receiver.device().rxOverflows, 0u);
      EXPECT_EQ(receiver.FreeList().size(), kRxBufferCount - 1);
    }
  });
}

}  // namespace
}  // namespace sirtest
