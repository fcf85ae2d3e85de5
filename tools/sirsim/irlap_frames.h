// IrLAP frames as the protocol above the driver hands them down: address byte, control
// byte and information field, without FCS (the driver adds it). Builders only: the
// scenario is a script and keeps no link state of its own. Plain host code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sirsim::irlap {

using Frame = std::vector<std::uint8_t>;

constexpr std::uint8_t kBroadcastConnection = 0x7F;
constexpr std::uint32_t kBroadcastDevice = 0xFFFFFFFF;
constexpr std::uint8_t kPollFinal = 0x10;
constexpr std::uint8_t kWindowSize = 7;
constexpr std::uint8_t kFinalSlot = 0xFF;
constexpr std::size_t kMaxInformation = 2048;

// Control bytes of the unnumbered frames, without P/F.
constexpr std::uint8_t kSnrm = 0x83;
constexpr std::uint8_t kDisc = 0x43;
constexpr std::uint8_t kUa = 0x63;
constexpr std::uint8_t kXidCommand = 0x2F;
constexpr std::uint8_t kXidResponse = 0xAF;
constexpr std::uint8_t kReceiveReady = 0x01;

// Bits 7-1 the connection address, bit 0 set on commands.
constexpr std::uint8_t AddressByte(std::uint8_t connection, bool command) {
  return static_cast<std::uint8_t>(connection << 1 | (command ? 1 : 0));
}

// Baud-rate bits of the negotiation parameter 0x01.
constexpr std::uint8_t BaudBit(std::uint32_t speed) {
  switch (speed) {
    case 9600: return 0x02;
    case 19200: return 0x04;
    case 38400: return 0x08;
    case 57600: return 0x10;
    case 115200: return 0x20;
    default: return 0;
  }
}
// The highest speed whose bit is in `bits`, or 9600 when none is.
std::uint32_t HighestSpeed(std::uint8_t bits);

// The discovery information an XID carries after its fixed part.
struct DiscoveryInfo {
  std::vector<std::uint8_t> hints{0x04};  // a computer
  std::uint8_t charset = 0x00;            // ASCII
  std::string nickname;
};

// What a station offers in its SNRM or UA.
struct Negotiation {
  std::uint8_t baudRates = 0x3E;       // 9600 to 115200
  std::uint8_t maxTurnaround = 0x01;   // 500 ms
  std::uint8_t dataSize = 0x3F;        // up to 2048 bytes
  std::uint8_t windowSize = 0x7F;      // up to 7 frames
  std::uint8_t additionalBofs = 0x80;  // none
  std::uint8_t minTurnaround = 0x04;   // 1 ms
};
// The minimum turnaround time a parameter value gives, in microseconds (the longest
// of the bits set).
std::uint32_t MinTurnaroundMicroseconds(std::uint8_t bits);

// Slot-count codes of the discovery flags.
constexpr std::uint8_t kSlots1 = 0, kSlots6 = 1, kSlots8 = 2, kSlots16 = 3;

// An XID discovery command from `source` to every station; `info` goes in the final slot.
Frame XidCommand(std::uint32_t source, std::uint8_t slotsCode, std::uint8_t slot,
                 const DiscoveryInfo* info = nullptr);
// The answer of `source` to the discovery of `destination`, in `slot`.
Frame XidResponse(std::uint32_t source, std::uint32_t destination, std::uint8_t slotsCode,
                  std::uint8_t slot, const DiscoveryInfo& info);
Frame Snrm(std::uint32_t source, std::uint32_t destination, std::uint8_t connection,
           const Negotiation& offer);
// The UA that accepts a connection, with the responder's parameters.
Frame UaConnect(std::uint8_t connection, std::uint32_t source, std::uint32_t destination,
                const Negotiation& offer);
Frame Disc(std::uint8_t connection);
Frame Ua(std::uint8_t connection);
Frame InformationFrame(std::uint8_t connection, bool command, std::uint8_t ns, std::uint8_t nr,
                       bool pollFinal, const std::vector<std::uint8_t>& information);
Frame ReceiveReady(std::uint8_t connection, bool command, std::uint8_t nr, bool pollFinal);

// True for an I-frame (bit 0 of the control byte clear).
inline bool IsInformationFrame(const Frame& frame) {
  return frame.size() >= 2 && (frame[1] & 0x01) == 0;
}

}  // namespace sirsim::irlap
