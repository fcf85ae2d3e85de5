// IrLAP frame builders.
#include "tools/sirsim/irlap_frames.h"

namespace sirsim::irlap {
namespace {

constexpr std::uint8_t kXidFormat = 0x01;
constexpr std::uint8_t kXidVersion = 0x00;

void PutLittleEndian32(Frame& frame, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    frame.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void PutParameter(Frame& frame, std::uint8_t identifier, std::uint8_t value) {
  frame.insert(frame.end(), {identifier, 1, value});
}

void PutNegotiation(Frame& frame, const Negotiation& offer) {
  PutParameter(frame, 0x01, offer.baudRates);
  PutParameter(frame, 0x82, offer.maxTurnaround);
  PutParameter(frame, 0x83, offer.dataSize);
  PutParameter(frame, 0x84, offer.windowSize);
  PutParameter(frame, 0x85, offer.additionalBofs);
  PutParameter(frame, 0x86, offer.minTurnaround);
}

Frame Xid(std::uint8_t address, std::uint8_t control, std::uint32_t source,
          std::uint32_t destination, std::uint8_t slotsCode, std::uint8_t slot,
          const DiscoveryInfo* info) {
  Frame frame{address, control, kXidFormat};
  PutLittleEndian32(frame, source);
  PutLittleEndian32(frame, destination);
  frame.push_back(slotsCode);
  frame.push_back(slot);
  frame.push_back(kXidVersion);
  if (info != nullptr) {
    frame.insert(frame.end(), info->hints.begin(), info->hints.end());
    frame.push_back(info->charset);
    frame.insert(frame.end(), info->nickname.begin(), info->nickname.end());
  }
  return frame;
}

}  // namespace

std::uint32_t HighestSpeed(std::uint8_t bits) {
  for (std::uint32_t speed : {115200u, 57600u, 38400u, 19200u}) {
    if (bits & BaudBit(speed)) return speed;
  }
  return 9600;
}

std::uint32_t MinTurnaroundMicroseconds(std::uint8_t bits) {
  constexpr std::uint32_t kTimes[8] = {10'000, 5'000, 1'000, 500, 100, 50, 10, 0};
  for (int bit = 0; bit < 8; ++bit) {
    if (bits & (1u << bit)) return kTimes[bit];
  }
  return kTimes[0];  // no bit: the safest, longest time
}

Frame XidCommand(std::uint32_t source, std::uint8_t slotsCode, std::uint8_t slot,
                 const DiscoveryInfo* info) {
  return Xid(AddressByte(kBroadcastConnection, true), kXidCommand | kPollFinal, source,
             kBroadcastDevice, slotsCode, slot, info);
}

Frame XidResponse(std::uint32_t source, std::uint32_t destination, std::uint8_t slotsCode,
                  std::uint8_t slot, const DiscoveryInfo& info) {
  return Xid(AddressByte(kBroadcastConnection, false), kXidResponse | kPollFinal, source,
             destination, slotsCode, slot, &info);
}

Frame Snrm(std::uint32_t source, std::uint32_t destination, std::uint8_t connection,
           const Negotiation& offer) {
  Frame frame{AddressByte(kBroadcastConnection, true), kSnrm | kPollFinal};
  PutLittleEndian32(frame, source);
  PutLittleEndian32(frame, destination);
  frame.push_back(AddressByte(connection, false));
  PutNegotiation(frame, offer);
  return frame;
}

Frame UaConnect(std::uint8_t connection, std::uint32_t source, std::uint32_t destination,
                const Negotiation& offer) {
  Frame frame{AddressByte(connection, false), kUa | kPollFinal};
  PutLittleEndian32(frame, source);
  PutLittleEndian32(frame, destination);
  PutNegotiation(frame, offer);
  return frame;
}

Frame Disc(std::uint8_t connection) {
  return {AddressByte(connection, true), kDisc | kPollFinal};
}

Frame Ua(std::uint8_t connection) { return {AddressByte(connection, false), kUa | kPollFinal}; }

Frame InformationFrame(std::uint8_t connection, bool command, std::uint8_t ns, std::uint8_t nr,
                       bool pollFinal, const std::vector<std::uint8_t>& information) {
  auto control = static_cast<std::uint8_t>((nr & 7) << 5 | (pollFinal ? kPollFinal : 0) |
                                           (ns & 7) << 1);
  Frame frame{AddressByte(connection, command), control};
  frame.insert(frame.end(), information.begin(), information.end());
  return frame;
}

Frame ReceiveReady(std::uint8_t connection, bool command, std::uint8_t nr, bool pollFinal) {
  auto control = static_cast<std::uint8_t>((nr & 7) << 5 | (pollFinal ? kPollFinal : 0) |
                                           kReceiveReady);
  return {AddressByte(connection, command), control};
}

}  // namespace sirsim::irlap
