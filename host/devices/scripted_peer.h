// A scripted station on a transceiver's far infrared side, standing in for a second
// adapter where a test needs exact incoming bytes. It joins the transceiver through an
// infrared medium of its own, so the medium's records and disturbances serve it too.
// Its bytes go out in the completion context; the waits are for the test thread.
//
// Simulated: sending given bytes back to back at a given speed, from a given virtual time
// or from now (bytes given while earlier ones are still going out follow them, as from one
// transmitter); receiving every byte at any speed, recorded with its virtual time and the
// speed it was sent at.
//
// Not simulated: any protocol. It works on raw bytes: building and parsing frames, and
// answering them, belong to the tests. It has no receive speed of its own, so it never
// garbles a byte; the records say at what speed each one came.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/devices/infrared_medium.h"
#include "host/devices/serial_line.h"
#include "host/devices/sir_transceiver.h"
#include "host/usb/timer_set.h"

namespace host::devices {

class ScriptedPeer : public InfraredReceiver {
 public:
  // Faces `transceiver` (station a of the medium; the peer is station b).
  ScriptedPeer(Simulation& simulation, SirTransceiver& transceiver, std::uint64_t mediumSeed = 0);

  // Sends the bytes back to back at `speed`, the first one beginning at `start` (or when
  // the bytes sent before have gone out, if later). Returns the virtual time the last
  // byte has been sent by. A start in the past or a zero speed throws
  // std::invalid_argument.
  VirtualTime SendAt(VirtualTime start, const std::vector<std::uint8_t>& bytes,
                     std::uint32_t speed);
  VirtualTime Send(const std::vector<std::uint8_t>& bytes, std::uint32_t speed) {
    return SendAt(simulation_.Now(), bytes, speed);
  }

  // Every byte received, in order.
  const std::vector<TimedByte>& received() const { return received_; }

  // For the test thread: let the simulation run until at least `count` bytes have been
  // received (true), or until the virtual time `deadline` (false).
  bool WaitForBytes(std::size_t count, VirtualTime deadline = kForever);
  // For the test thread: let the simulation run until a byte of this value has been
  // received at index `from` or later, and answer its index; nothing by `deadline`.
  std::optional<std::size_t> WaitForByte(std::uint8_t value, std::size_t from = 0,
                                         VirtualTime deadline = kForever);

  InfraredMedium& medium() { return medium_; }

  // InfraredReceiver: a byte the medium delivers.
  void OnInfraredByte(const TimedByte& byte) override { received_.push_back(byte); }

 private:
  Simulation& simulation_;
  InfraredMedium medium_;
  std::vector<TimedByte> received_;
  VirtualTime lineFreeAt_ = 0;  // when the bytes given so far have all gone out
  TimerSet timers_;             // last, so that bytes not yet sent are dropped first
};

}  // namespace host::devices
