// The capture writer: IrLAP frames with their direction and virtual time, written as a
// pcap file of link type 144 (Linux IrDA) that standard network analysers decode. Plain
// host code; the main program feeds it from whichever context sees the frames.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "host/kernel/simulation.h"

struct pcap;
struct pcap_dumper;

namespace host::capture {

enum class FrameDirection { kIncoming, kOutgoing };

// The record layout: a 16-byte pseudo-header, all fields big-endian (packet type at 0,
// protocol at 14), then the frame from its address byte, without FCS.
constexpr int kLinkTypeLinuxIrda = 144;
constexpr std::size_t kPseudoHeaderSize = 16;
constexpr std::uint16_t kPacketTypeIncoming = 0x0000;
constexpr std::uint16_t kPacketTypeOutgoing = 0x0004;
constexpr std::uint16_t kProtocolIrda = 0x0017;  // analysers refuse the file without it
constexpr std::size_t kSnapLength = 65535;
constexpr std::size_t kMaxFrameSize = kSnapLength - kPseudoHeaderSize;

class IrdaCapture {
 public:
  IrdaCapture() = default;
  ~IrdaCapture();  // closes the file
  IrdaCapture(const IrdaCapture&) = delete;
  IrdaCapture& operator=(const IrdaCapture&) = delete;

  // Creates the file (or empties it) and writes the file header. False, with error()
  // saying why, when it cannot be written or a file is open already.
  bool Open(const std::string& path);
  bool isOpen() const { return dumper_ != nullptr; }

  // Writes one frame that crossed at virtual time `time` (virtual time zero is the
  // capture's time zero; timestamps keep whole microseconds). False, with error(), when
  // no file is open, the frame is empty or longer than kMaxFrameSize, the time is
  // negative, or the write failed; a refused frame leaves the file as it was.
  bool Write(VirtualTime time, FrameDirection direction, std::span<const std::uint8_t> frame);

  // Flushes and closes the file; false, with error(), when the last writes failed.
  // Nothing to do, and true, when no file is open.
  bool Close();

  const std::string& error() const { return error_; }
  std::size_t frames() const { return frames_; }  // written since Open

 private:
  bool Fail(std::string message);

  pcap* handle_ = nullptr;
  pcap_dumper* dumper_ = nullptr;
  std::size_t frames_ = 0;
  std::string error_;
};

}  // namespace host::capture
