// The scripted peer: timed sends into its medium, the record of what it received, and
// the waits of the test thread.
#include "host/devices/scripted_peer.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace host::devices {

ScriptedPeer::ScriptedPeer(Simulation& simulation, SirTransceiver& transceiver,
                           std::uint64_t mediumSeed)
    : simulation_(simulation),
      medium_(simulation, transceiver, static_cast<InfraredReceiver&>(*this), mediumSeed),
      timers_(simulation) {}

VirtualTime ScriptedPeer::SendAt(VirtualTime start, const std::vector<std::uint8_t>& bytes,
                                 std::uint32_t speed) {
  if (speed == 0) throw std::invalid_argument("scripted peer: bytes at speed 0");
  if (start < simulation_.Now()) {
    throw std::invalid_argument("scripted peer: bytes at " + std::to_string(start) +
                                ", before the present time " + std::to_string(simulation_.Now()));
  }
  if (bytes.empty()) return std::max(start, lineFreeAt_);
  start = std::max(start, lineFreeAt_);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    TimedByte byte{CharacterEnd(start, i, speed), bytes[i], speed};
    timers_.At(byte.time, [this, byte] { medium_.Carry(MediumDirection::kBToA, byte); });
  }
  lineFreeAt_ = CharacterEnd(start, bytes.size() - 1, speed);
  return lineFreeAt_;
}

bool ScriptedPeer::WaitForBytes(std::size_t count, VirtualTime deadline) {
  return simulation_.RunUntil([this, count] { return received_.size() >= count; }, deadline);
}

std::optional<std::size_t> ScriptedPeer::WaitForByte(std::uint8_t value, std::size_t from,
                                                     VirtualTime deadline) {
  // Each check looks only at the bytes that came since the one before.
  std::size_t next = from;
  std::optional<std::size_t> found;
  auto seen = [&] {
    for (; !found && next < received_.size(); ++next) {
      if (received_[next].value == value) found = next;
    }
    return found.has_value();
  };
  if (!seen()) simulation_.RunUntil(seen, deadline);
  return found;
}

}  // namespace host::devices
