// The SIR transceiver model: line states, command mode and the infrared pass-through.
#include "host/devices/sir_transceiver.h"

namespace host::devices {
namespace {

struct SpeedCommand {
  std::uint8_t byte;
  std::uint32_t speed;
};
constexpr SpeedCommand kSpeedCommands[] = {
    {0x10, 9600}, {0x11, 19200}, {0x12, 38400}, {0x13, 57600}, {0x14, 115200},
};

TransceiverState StateOf(bool rts, bool dtr) {
  if (rts && dtr) return TransceiverState::kNormal;
  if (rts) return TransceiverState::kSpeedChangeEntry;
  if (dtr) return TransceiverState::kCommand;
  return TransceiverState::kOff;
}

}  // namespace

SirTransceiver::SirTransceiver(Simulation& simulation, SerialBridge& bridge)
    : timers_(simulation), bridge_(bridge) {
  bridge_.AttachSerial(this);
}

SirTransceiver::~SirTransceiver() { bridge_.AttachSerial(nullptr); }

void SirTransceiver::SetRecording(Recording recording) {
  infraredOut_.SetRecording(recording);
  infraredIn_.SetRecording(recording);
}

void SirTransceiver::OnControlLines(bool rts, bool dtr) {
  TransceiverState next = StateOf(rts, dtr);
  if (next == state_) return;
  if (state_ == TransceiverState::kOff) SetSpeed(kCommandRate);  // powering up
  state_ = next;
  lineChanges_.push_back(TransceiverLineChange{timers_.simulation().Now(), next});
}

void SirTransceiver::SetSpeed(std::uint32_t speed) {
  if (speed == speed_) return;
  speed_ = speed;
  speedChanges_.push_back(TransceiverSpeedChange{timers_.simulation().Now(), speed});
}

void SirTransceiver::OnSerialByte(std::uint8_t byte, std::uint32_t rate) {
  switch (state_) {
    case TransceiverState::kCommand:
      return Command(byte, rate);
    case TransceiverState::kNormal: {
      TimedByte sent{timers_.simulation().Now(), ReceivedByte(byte, rate, speed_), speed_};
      infraredOut_.Add(sent);
      if (infrared_ != nullptr) infrared_->OnInfraredByte(sent);
      return;
    }
    case TransceiverState::kOff:
    case TransceiverState::kSpeedChangeEntry:
      ++dropped_;
      return;
  }
}

void SirTransceiver::Command(std::uint8_t byte, std::uint32_t rate) {
  VirtualTime now = timers_.simulation().Now();
  if (rate != kCommandRate) {
    commands_.push_back(TransceiverCommand{now, ReceivedByte(byte, rate, kCommandRate),
                                           TransceiverCommand::Outcome::kFramingError});
    return;
  }
  for (const SpeedCommand& command : kSpeedCommands) {
    if (command.byte == byte) {
      commands_.push_back(TransceiverCommand{now, byte, TransceiverCommand::Outcome::kSpeedChange});
      SetSpeed(command.speed);
      return;
    }
  }
  commands_.push_back(TransceiverCommand{now, byte, TransceiverCommand::Outcome::kEchoed});
  timers_.After(CharacterTime(kCommandRate),
                [this, byte] { bridge_.ReceiveSerial(byte, kCommandRate); });
}

void SirTransceiver::ReceiveInfrared(std::uint8_t byte, std::uint32_t speed) {
  infraredIn_.Add(TimedByte{timers_.simulation().Now(), byte, speed});
  if (state_ != TransceiverState::kNormal) {
    ++dropped_;
    return;
  }
  bridge_.ReceiveSerial(ReceivedByte(byte, speed, speed_), speed_);
}

void SirTransceiver::InjectInfrared(const std::vector<std::uint8_t>& bytes, std::uint32_t speed) {
  VirtualTime start = timers_.simulation().Now();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint8_t byte = bytes[i];
    timers_.At(CharacterEnd(start, i, speed), [this, byte, speed] { ReceiveInfrared(byte, speed); });
  }
}

}  // namespace host::devices
