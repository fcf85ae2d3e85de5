// Fuzz target for the SIR encoder: an NDIS packet with an arbitrary buffer chain (lengths,
// empty buffers, a claimed length other than the chain's, no buffers at all) and arbitrary
// IrDA packet information, encoded by SirEncodeFrame into an output area followed by a
// guard. Checks that nothing is written past the capacity, that the result and frameLength
// are what the packet and capacity call for, and that a frame that fits is, byte for byte,
// the reference frame of the chain's bytes with the expected start flags, and (when it is
// short enough to be received) decodes back to the payload.
//
// Input: a flags byte, ExtraBOFs, MinTurnAroundTime and the media-specific size, a speed
// choice, a capacity choice, the chain (a count and 16-bit lengths), then the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/reference_deframer.h"
#include "host/ndis/send_packet.h"
#include "miniport/ir_device.h"
#include "sir/sir_encoder.h"

namespace sirfuzz {
namespace {

constexpr std::size_t kGuardBytes = 64;
constexpr UCHAR kGuardByte = 0xA5;
constexpr ULONG kUnwrittenLength = 0xDEADBEEF;
constexpr ULONG kFlagTimeDivisor = 10'000'000;  // bits/s x microseconds per flag of 10 bits
// Bytes of the frame after its flags in the worst case: payload and FCS all stuffed, EOF.
constexpr ULONG WorstCaseBody(ULONG length) { return 2 * length + 2 * kSirFcsLength + 1; }

// Bits of the flags byte.
constexpr std::uint8_t kAttachInfo = 0x01;
constexpr std::uint8_t kClaimLength = 0x02;
constexpr std::uint8_t kApplyTurnaround = 0x04;
constexpr std::uint8_t kNoBuffers = 0x08;

// The media-specific size that holds the whole NDIS_IRDA_PACKET_INFO.
constexpr UINT kInfoSize =
    offsetof(MEDIA_SPECIFIC_INFORMATION, ClassInformation) + sizeof(NDIS_IRDA_PACKET_INFO);

struct Packet {
  std::uint8_t flags = 0;
  ULONG extraBofs = 0;
  ULONG minTurnAroundTime = 0;
  UINT infoSize = 0;
  ULONG speed = 0;
  ULONG capacity = 0;
  UINT claimedLength = 0;
  std::vector<UINT> chain;
  Bytes payload;
};

// Small values more often than not, so that the flag rules are reached, but any value can
// be chosen.
ULONG BiasedWord(FuzzInput& input) {
  std::uint8_t choice = input.Byte();
  return choice < 0xC0 ? choice : input.Word();
}

Packet ReadPacket(FuzzInput& input) {
  static constexpr ULONG kSpeeds[] = {0, 2400, 9600, 19200, 38400, 57600, 115200};
  Packet packet;
  packet.flags = input.Byte();
  packet.extraBofs = BiasedWord(input);
  packet.minTurnAroundTime = BiasedWord(input) * 100;
  // The record's own size, one byte short of the information, or any size.
  std::uint8_t sizeChoice = input.Byte();
  packet.infoSize = sizeChoice < 0x80 ? kInfoSize : sizeChoice < 0xC0 ? kInfoSize - 1 : sizeChoice;
  std::uint8_t speedChoice = input.Byte();
  packet.speed = speedChoice < std::size(kSpeeds) ? kSpeeds[speedChoice] : input.Word();
  std::uint8_t capacityChoice = input.Byte();
  std::int8_t delta = static_cast<std::int8_t>(input.Byte());
  ULONG extra = input.Short();
  std::size_t count = input.Byte() % 9;
  for (std::size_t i = 0; i < count; ++i) packet.chain.push_back(input.Short() % 4400);
  packet.claimedLength = input.Short() % 4400;
  std::span<const std::uint8_t> rest = input.Take(SIZE_MAX);
  packet.payload.assign(rest.begin(), rest.end());

  // Chain lengths are cut to the payload; what the given lengths leave over is one more
  // buffer at the end.
  std::size_t offset = 0;
  for (UINT& length : packet.chain) {
    length = static_cast<UINT>(std::min<std::size_t>(length, packet.payload.size() - offset));
    offset += length;
  }
  if (offset < packet.payload.size()) {
    packet.chain.push_back(static_cast<UINT>(packet.payload.size() - offset));
  }
  if (packet.chain.empty()) packet.chain.push_back(0);

  ULONG length = packet.flags & kClaimLength ? packet.claimedLength
                                              : static_cast<ULONG>(packet.payload.size());
  // The transmit buffer's size, about the least the length needs, or any capacity.
  switch (capacityChoice % 3) {
    case 0:
      packet.capacity = kTxBufferSize;
      break;
    case 1:
      packet.capacity = static_cast<ULONG>(std::max<long>(0, 2L * length + kSirEncodeSlack + delta));
      break;
    default:
      packet.capacity = extra % 9000;
      break;
  }
  return packet;
}

// What SirEncodeFrame must do with the packet, worked out from the frame rules alone.
struct Expected {
  bool framed = false;
  ULONG frameLength = kUnwrittenLength;
  bool turnaroundAfter = false;
  ULONG flagCount = 0;
};

Expected Expect(const Packet& packet, ULONG totalLength, ULONG chainBytes, bool hasBuffers) {
  bool applyTurnaround = packet.flags & kApplyTurnaround;
  Expected expected;
  expected.turnaroundAfter = applyTurnaround;
  if (totalLength < kSirMinPayload) return expected;
  if (totalLength > kSirMaxPayload || 2 * totalLength + kSirEncodeSlack > packet.capacity) {
    expected.frameLength = totalLength;
    return expected;
  }
  if (!hasBuffers) return expected;

  bool hasInfo = (packet.flags & kAttachInfo) && packet.infoSize >= kInfoSize;
  ULONG extraBofs = hasInfo ? packet.extraBofs : 0;
  ULONG minTurnAroundTime = hasInfo ? packet.minTurnAroundTime : 0;
  ULONG extra = extraBofs > kSirMaxExtraBofs ? kSirMaxExtraBofs : extraBofs;
  if (applyTurnaround && minTurnAroundTime != 0) {
    extra += static_cast<ULONG>(packet.speed * minTurnAroundTime) / kFlagTimeDivisor;
    if (extra != 0) extra -= 1;
    expected.turnaroundAfter = false;
  }
  // Turnaround flags beyond the room the capacity leaves are not sent.
  ULONG room = packet.capacity - WorstCaseBody(totalLength);
  expected.flagCount = std::min(extra + 1, room);
  if (chainBytes < totalLength) {
    expected.frameLength = 0;
    return expected;
  }
  expected.framed = true;
  return expected;
}

void EncodeOnce(const Packet& packet) {
  auto device = std::make_unique<IrDevice>();
  device->currentSpeed = packet.speed;
  device->applyTurnaround = (packet.flags & kApplyTurnaround) ? TRUE : FALSE;

  host::ndis::SendPacket send(packet.payload, packet.chain);
  if (packet.flags & kAttachInfo) {
    send.AttachIrdaInfo(packet.extraBofs, packet.minTurnAroundTime, packet.infoSize);
  }
  bool hasBuffers = !(packet.flags & kNoBuffers);
  if (!hasBuffers) send.UnchainAll();
  ULONG chainBytes = hasBuffers ? static_cast<ULONG>(packet.payload.size()) : 0;
  ULONG totalLength = chainBytes;
  if (packet.flags & kClaimLength) {
    send.ClaimLength(packet.claimedLength);
    totalLength = packet.claimedLength;
  }
  Expected expected = Expect(packet, totalLength, chainBytes, hasBuffers);

  std::vector<UCHAR> out(packet.capacity + kGuardBytes, kGuardByte);
  ULONG frameLength = kUnwrittenLength;
  BOOLEAN framed = SirEncodeFrame(device.get(), send.get(), out.data(), packet.capacity, &frameLength);

  for (std::size_t i = packet.capacity; i < out.size(); ++i) {
    Require(out[i] == kGuardByte, "the encoder wrote past the capacity");
  }
  Require((framed != FALSE) == expected.framed, "the encoder's result is not the expected one");
  Require((device->applyTurnaround != FALSE) == expected.turnaroundAfter,
          "applyTurnaround is not as the frame rules leave it");
  if (!framed) {
    Require(frameLength == expected.frameLength, "frameLength after a refusal is wrong");
    return;
  }
  Bytes payload(packet.payload.begin(), packet.payload.begin() + totalLength);
  Bytes reference = sirtest::ReferenceFrame(payload, expected.flagCount);
  Require(frameLength == reference.size() &&
              std::equal(reference.begin(), reference.end(), out.begin()),
          "the frame is not the reference frame");

  // The receiving side takes frames up to its own limit, shorter than the encoder's.
  if (payload.size() + kSirFcsLength > kSirMaxFrame) return;
  ReferenceDeframer deframer;
  deframer.Feed(std::span<const UCHAR>(out.data(), frameLength));
  Require(deframer.frames().size() == 1 && ReferenceDeframer::GoodFcs(deframer.frames()[0]) &&
              Bytes(deframer.frames()[0].begin(), deframer.frames()[0].end() - kSirFcsLength) ==
                  payload,
          "the frame does not decode to its payload");
}

}  // namespace
}  // namespace sirfuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sirfuzz::FuzzInput input(data, size);
  sirfuzz::Packet packet = sirfuzz::ReadPacket(input);
  sirfuzz::RunSimulation(0, [&](host::Simulation&) { sirfuzz::EncodeOnce(packet); });
  return 0;
}
