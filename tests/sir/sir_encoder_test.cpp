// The SIR frame encoder: flags, stuffing, FCS, the length and capacity limits, the
// turnaround flags and buffer chains of every shape.
#include "sir/sir_encoder.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "tests/sir/sir_reference.h"
#include "host/ndis/send_packet.h"
#include "tests/support/sim_test.h"

namespace sirtest {
namespace {

constexpr ULONG kUntouched = 0xA5A5A5A5;
constexpr std::size_t kGuard = 32;
constexpr UCHAR kGuardByte = 0xEE;

struct IrdaInfo {
  ULONG extraBofs;
  ULONG minTurnAroundTime;
  UINT size = 20;  // the media-specific size the packet claims
};

struct EncodeCase {
  const char* name;
  Bytes payload;
  std::vector<UINT> chain = {};          // buffer lengths; empty: one buffer
  bool noBuffers = false;                // the packet has no buffer at all
  std::optional<UINT> claimed = {};      // total length the packet claims, if not its chain's
  std::optional<IrdaInfo> info = {};
  ULONG speed = 9600;
  UCHAR applyTurnaround = TRUE;
  ULONG capacity = kTxBufferSize;
  BOOLEAN result = TRUE;
  Bytes frame = {};                      // the exact frame expected, or else
  ULONG flags = 1;                       // the flags before the reference frame's body
  ULONG frameLength = kUntouched;        // expected when the result is FALSE
  UCHAR applyTurnaroundAfter = TRUE;
};

Bytes Repeated(std::size_t count, UCHAR byte) { return Bytes(count, byte); }

Bytes Counting(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(i * 7 + 1);
  return bytes;
}

const Bytes kXid = {0xFF, 0x3F, 0x01, 0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00};

class SirEncoder : public SimTest {};

TEST_F(SirEncoder, FramesEachCase) {
  const EncodeCase cases[] = {
      {.name = "no bytes", .payload = {}, .info = IrdaInfo{0, 10000}, .result = FALSE},
      {.name = "one byte", .payload = {0x11}, .info = IrdaInfo{0, 10000}, .result = FALSE},
      {.name = "two plain bytes", .payload = {0x11, 0x22},
       .frame = {0xC0, 0x11, 0x22, 0x1E, 0x81, 0xC1}},
      {.name = "XID command, FCS known from outside", .payload = kXid,
       .frame = Cat({{0xC0}, kXid, {0x3C, 0x06, 0xC1}})},
      {.name = "special payload bytes stuffed, escaped forms not",
       .payload = {0x7D, 0xC0, 0xC1, 0x5D, 0xE0, 0xE1},
       .frame = {0xC0, 0x7D, 0x5D, 0x7D, 0xE0, 0x7D, 0xE1, 0x5D, 0xE0, 0xE1, 0xC6, 0x08, 0xC1}},
      {.name = "FCS bytes stuffed", .payload = {0xB0, 0xEA},
       .frame = {0xC0, 0xB0, 0xEA, 0x7D, 0x5D, 0x7D, 0x5D, 0xC1}},
      {.name = "FCS bytes stuffed as EOF", .payload = {0x0C, 0x24},
       .frame = {0xC0, 0x0C, 0x24, 0x7D, 0xE1, 0x7D, 0xE1, 0xC1}},
      {.name = "longer than any packet", .payload = Repeated(4266, 0x11),
       .info = IrdaInfo{0, 10000}, .capacity = 100000, .result = FALSE, .frameLength = 4266},
      {.name = "longest packet", .payload = Counting(4265), .capacity = 2 * 4265 + 165},
      {.name = "capacity exactly enough", .payload = Counting(100), .capacity = 365},
      {.name = "capacity one short", .payload = Counting(100), .info = IrdaInfo{0, 10000},
       .capacity = 364, .result = FALSE, .frameLength = 100},
      {.name = "transmit buffer too small past 2050", .payload = Counting(2051),
       .result = FALSE, .frameLength = 2051},
      {.name = "extra flags", .payload = Counting(8), .info = IrdaInfo{3, 0}, .flags = 4},
      {.name = "extra flags capped at 48", .payload = Counting(8), .info = IrdaInfo{1000, 0},
       .flags = 49},
      {.name = "no turnaround time keeps the turnaround due", .payload = Counting(8),
       .info = IrdaInfo{2, 0}, .flags = 3},
      {.name = "turnaround term 0 takes the first flag", .payload = Counting(8),
       .info = IrdaInfo{5, 1000}, .flags = 5, .applyTurnaroundAfter = FALSE},
      {.name = "turnaround term 0 and no extra flags", .payload = Counting(8),
       .info = IrdaInfo{0, 1000}, .flags = 1, .applyTurnaroundAfter = FALSE},
      {.name = "speed not yet set", .payload = Counting(8), .info = IrdaInfo{5, 10000},
       .speed = 0, .flags = 5, .applyTurnaroundAfter = FALSE},
      {.name = "10 ms at 9600", .payload = Counting(8), .info = IrdaInfo{0, 10000}, .flags = 9,
       .applyTurnaroundAfter = FALSE},
      {.name = "1 ms at 115200 with extra flags", .payload = Counting(8),
       .info = IrdaInfo{2, 1000}, .speed = 115200, .flags = 13, .applyTurnaroundAfter = FALSE},
      {.name = "turnaround not due", .payload = Counting(8), .info = IrdaInfo{2, 10000},
       .applyTurnaround = FALSE, .flags = 3, .applyTurnaroundAfter = FALSE},
      {.name = "turnaround beyond the capacity is limited to it",
       .payload = Repeated(100, 0x7D), .info = IrdaInfo{48, 20000}, .speed = 115200,
       .capacity = 365, .flags = 160, .applyTurnaroundAfter = FALSE},
      {.name = "no IrDA information", .payload = Counting(8), .flags = 1},
      {.name = "IrDA information too small to hold", .payload = Counting(8),
       .info = IrdaInfo{5, 10000, 12}, .flags = 1},
      {.name = "one byte a buffer", .payload = Counting(6), .chain = {1, 1, 1, 1, 1, 1}},
      {.name = "empty buffers anywhere in the chain", .payload = Counting(10),
       .chain = {0, 3, 0, 0, 7, 0}},
      {.name = "chain longer than the packet claims", .payload = Counting(10),
       .chain = {4, 6}, .claimed = 6},
      {.name = "chain shorter than the packet claims", .payload = Counting(10),
       .chain = {4, 3}, .claimed = 10, .info = IrdaInfo{0, 10000}, .result = FALSE,
       .frameLength = 0, .applyTurnaroundAfter = FALSE},
      {.name = "no buffers", .payload = Counting(10), .noBuffers = true, .claimed = 10,
       .info = IrdaInfo{0, 10000}, .result = FALSE},
  };
  Run([&] {
    for (const EncodeCase& c : cases) {
      SCOPED_TRACE(c.name);
      host::ndis::SendPacket packet(c.payload, c.chain);
      if (c.info) packet.AttachIrdaInfo(c.info->extraBofs, c.info->minTurnAroundTime, c.info->size);
      if (c.noBuffers) packet.UnchainAll();
      if (c.claimed) packet.ClaimLength(*c.claimed);
      IrDevice device{};
      device.currentSpeed = c.speed;
      device.applyTurnaround = c.applyTurnaround;
      Bytes out(c.capacity + kGuard, kGuardByte);
      ULONG frameLength = kUntouched;

      BOOLEAN result = SirEncodeFrame(&device, packet.get(), out.data(), c.capacity, &frameLength);

      EXPECT_EQ(result, c.result);
      EXPECT_EQ(device.applyTurnaround, c.applyTurnaroundAfter);
      EXPECT_EQ(Bytes(out.begin() + c.capacity, out.end()), Bytes(kGuard, kGuardByte))
          << "written beyond the capacity";
      if (!c.result) {
        EXPECT_EQ(frameLength, c.frameLength);
        continue;
      }
      Bytes framed = c.claimed ? Bytes(c.payload.begin(), c.payload.begin() + *c.claimed)
                               : c.payload;
      Bytes expected = c.frame.empty() ? ReferenceFrame(framed, c.flags) : c.frame;
      ASSERT_EQ(frameLength, expected.size());
      EXPECT_EQ(Bytes(out.begin(), out.begin() + frameLength), expected);
    }
  });
}

TEST_F(SirEncoder, RandomPayloadsInRandomChainsMatchTheReference) {
  std::mt19937 random(2101);
  Run([&] {
    for (int round = 0; round < 300; ++round) {
      Bytes payload = RandomPayload(random, 2 + random() % 2049);
      std::vector<UINT> chain;
      for (std::size_t left = payload.size(); left != 0;) {
        UINT length = std::min<UINT>(static_cast<UINT>(left), random() % 4 == 0 ? 0 : 1 + random() % 700);
        chain.push_back(length);
        left -= length;
      }
      host::ndis::SendPacket packet(payload, chain);
      ULONG extra = random() % 60;
      packet.AttachIrdaInfo(extra, 0);
      IrDevice device{};
      Bytes out(kTxBufferSize);
      ULONG frameLength = 0;
      ASSERT_TRUE(SirEncodeFrame(&device, packet.get(), out.data(), kTxBufferSize, &frameLength));
      out.resize(frameLength);
      ASSERT_EQ(out, ReferenceFrame(payload, std::min<ULONG>(extra, 48) + 1)) << "round " << round;
    }
  });
}

}  // namespace
}  // namespace sirtest
