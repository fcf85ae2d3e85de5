// The serial line between the bridge model and what is wired to it: the two ends'
// interfaces, the time a character takes (ten bit times: start, eight data, stop), and
// what a receiver set to another rate makes of a byte. Runs in the completion context.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/simulation.h"

namespace host::devices {

// One byte on a line, as recorded by the models: when its stop bit ended, its value and
// the rate it was sent at.
struct TimedByte {
  VirtualTime time;
  std::uint8_t value;
  std::uint32_t rate;
  bool operator==(const TimedByte&) const = default;
};

// How much of its traffic a device model keeps. kEverything, the default, keeps every byte
// with its virtual time (and the bridge the data of every bulk transfer), for tests that
// check the exact traffic; kCountsOnly keeps only how many bytes crossed, so that a long
// run needs no memory per byte. The small records (requests, line states, speed changes,
// commands, notifications, disturbances) are kept either way. A change applies from the
// next byte on; what was kept before stays.
enum class Recording { kEverything, kCountsOnly };

// The bytes a model saw at one place: always counted, kept only when recording everything.
class ByteRecord {
 public:
  void Add(const TimedByte& byte) {
    ++count_;
    if (recording_ == Recording::kEverything) bytes_.push_back(byte);
  }
  void SetRecording(Recording recording) { recording_ = recording; }
  std::uint64_t count() const { return count_; }
  const std::vector<TimedByte>& bytes() const { return bytes_; }

 private:
  Recording recording_ = Recording::kEverything;
  std::uint64_t count_ = 0;
  std::vector<TimedByte> bytes_;
};

// Virtual time from `start` to the end of the index-th character sent back to back at
// `rate` bits/s (index 0 is the first). Computed from the start of the run, so that
// rounding does not add up over long runs.
constexpr VirtualTime CharacterEnd(VirtualTime start, std::uint64_t index, std::uint32_t rate) {
  return start + static_cast<VirtualTime>((index + 1) * 10 * kSecond / rate);
}
constexpr VirtualTime CharacterTime(std::uint32_t rate) { return CharacterEnd(0, 0, rate); }

// What a receiver at `readRate` sees of a byte sent at `sentRate`: the byte itself when
// the rates agree; otherwise a byte that always differs from it (its complement, mixed
// with the two rates), one received byte for each sent byte. Real receivers also lose or
// add bytes at a wrong rate; the model keeps the count so tests can follow each byte.
constexpr std::uint8_t ReceivedByte(std::uint8_t byte, std::uint32_t sentRate,
                                    std::uint32_t readRate) {
  if (sentRate == readRate) return byte;
  return static_cast<std::uint8_t>(~byte ^ ((sentRate ^ readRate) & 0x7F));
}

// The device on the bridge's serial side.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // The bridge's RTS and DTR outputs changed (or were restated).
  virtual void OnControlLines(bool rts, bool dtr) = 0;
  // A byte sent by the bridge at `rate` has just been received whole.
  virtual void OnSerialByte(std::uint8_t byte, std::uint32_t rate) = 0;
};

}  // namespace host::devices
