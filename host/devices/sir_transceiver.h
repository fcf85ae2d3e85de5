// Device model of the SIR transceiver on the serial bridge's serial side. Runs in the
// completion context, driven by the bridge's control lines and serial bytes.
//
// Simulated: the line states set by the bridge's RTS and DTR outputs (both off: powered
// down; RTS on and DTR off: speed-change entry; RTS off and DTR on: command mode; both on:
// normal); coming out of power-down at 9600 bits/s; in command mode, bytes that arrive at
// 9600 bits/s are commands: 0x10, 0x11, 0x12, 0x13 and 0x14 set the infrared speed to
// 9600, 19200, 38400, 57600 and 115200 bits/s and are not answered, and any other byte is
// echoed back on the serial line one character time later, at 9600 bits/s (a byte at
// another rate is a framing error and dropped); in the normal state, bytes pass between
// the serial line and the infrared side as they arrive, at the infrared speed, and a byte
// that was sent at another rate than the receiving side's comes out garbled (see
// ReceivedByte). In the other states bytes from either side are dropped.
//
// Not simulated: optical effects (distance, ambient light; the infrared medium adds
// those), the transceiver's own receive of what it sends, turnaround and minimum pulse
// timing, speeds above 115200 bits/s.
#pragma once

#include <cstdint>
#include <vector>

#include "host/devices/serial_bridge.h"
#include "host/devices/serial_line.h"
#include "host/usb/timer_set.h"

namespace host::devices {

enum class TransceiverState { kOff, kSpeedChangeEntry, kCommand, kNormal };

constexpr std::uint32_t kCommandRate = 9600;

// What receives the bytes that leave the transceiver's infrared side: the infrared medium,
// a scripted peer or a test. Each byte is given when it has been sent whole, with the
// speed it was sent at.
class InfraredReceiver {
 public:
  virtual ~InfraredReceiver() = default;
  virtual void OnInfraredByte(const TimedByte& byte) = 0;
};

struct TransceiverLineChange {
  VirtualTime time;
  TransceiverState state;
};
struct TransceiverSpeedChange {
  VirtualTime time;
  std::uint32_t speed;
};
struct TransceiverCommand {
  enum class Outcome { kSpeedChange, kEchoed, kFramingError };
  VirtualTime time;
  std::uint8_t byte;  // as received
  Outcome outcome;
};

class SirTransceiver : public SerialDevice {
 public:
  // Wires itself to the bridge's serial side.
  SirTransceiver(Simulation& simulation, SerialBridge& bridge);
  ~SirTransceiver() override;

  TransceiverState state() const { return state_; }
  std::uint32_t infraredSpeed() const { return speed_; }

  // Infrared side.
  void AttachInfrared(InfraredReceiver* receiver) { infrared_ = receiver; }
  // A byte sent at `speed` has just arrived whole from the infrared side.
  void ReceiveInfrared(std::uint8_t byte, std::uint32_t speed);
  // Test input: the bytes arrive back to back from the infrared side at `speed`, the
  // first one character time from now.
  void InjectInfrared(const std::vector<std::uint8_t>& bytes, std::uint32_t speed);

  // Records. With Recording::kCountsOnly the transceiver keeps no infrared bytes, only
  // their counts; line states, speeds and commands are kept either way.
  void SetRecording(Recording recording);
  const std::vector<TransceiverLineChange>& lineChanges() const { return lineChanges_; }
  const std::vector<TransceiverSpeedChange>& speedChanges() const { return speedChanges_; }
  const std::vector<TransceiverCommand>& commands() const { return commands_; }
  const std::vector<TimedByte>& infraredOut() const { return infraredOut_.bytes(); }
  const std::vector<TimedByte>& infraredIn() const { return infraredIn_.bytes(); }
  std::uint64_t infraredOutCount() const { return infraredOut_.count(); }
  std::uint64_t infraredInCount() const { return infraredIn_.count(); }
  std::size_t droppedBytes() const { return dropped_; }

  // SerialDevice
  void OnControlLines(bool rts, bool dtr) override;
  void OnSerialByte(std::uint8_t byte, std::uint32_t rate) override;

 private:
  void Command(std::uint8_t byte, std::uint32_t rate);
  void SetSpeed(std::uint32_t speed);

  TimerSet timers_;
  SerialBridge& bridge_;
  InfraredReceiver* infrared_ = nullptr;
  TransceiverState state_ = TransceiverState::kOff;
  std::uint32_t speed_ = kCommandRate;
  std::size_t dropped_ = 0;
  std::vector<TransceiverLineChange> lineChanges_;
  std::vector<TransceiverSpeedChange> speedChanges_;
  std::vector<TransceiverCommand> commands_;
  ByteRecord infraredOut_;
  ByteRecord infraredIn_;
};

}  // namespace host::devices
