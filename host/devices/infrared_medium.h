// The infrared medium between two stations: the infrared sides of two SIR transceivers
// facing each other, or one transceiver and another station (a scripted peer). Runs in
// the completion context, driven by the bytes the stations send.
//
// Simulated: a byte one station has sent whole arrives whole at the other at the same
// virtual time, at the speed it was sent at (a receiving transceiver set to another speed
// garbles it); both directions at once, independently: when both stations send in the
// same character time each receives the other's bytes, as on a full-duplex medium, and
// keeping to half duplex is the protocol's business; a station does not hear itself.
// Disturbances, each direction on its own and each drawn from a generator of the medium's
// own seed, so a run replays exactly: flipped data bits at a rate per bit, lost bytes at
// a rate per byte, and bursts of noise bytes (random values) that reach one station at a
// virtual time. The n-th byte of a direction always meets the same draws, whatever else
// crosses the medium.
//
// Not simulated: distance, angle, ambient light levels, propagation delay, errors in the
// start and stop bits (a byte is never split or merged), and collisions: a noise byte
// that arrives while a sent byte is on its way is delivered as one more byte beside it,
// not mixed with it.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "host/devices/serial_line.h"
#include "host/devices/sir_transceiver.h"
#include "host/usb/timer_set.h"

namespace host::devices {

// Station a is the first one given to the medium, b the second.
enum class MediumDirection { kAToB, kBToA };

// Disturbances of one direction. Each rate is a probability from 0 (never) to 1 (always).
struct Disturbances {
  double bitErrorRate = 0.0;  // each of a byte's eight data bits arrives flipped
  double lossRate = 0.0;      // a byte is lost whole
};

// Noise bytes that reach the station at the far end of a direction, back to back.
struct NoiseBurst {
  VirtualTime start;    // the first noise character begins here (not in the past)
  std::size_t count;    // how many noise bytes
  std::uint32_t speed;  // the speed the receiver takes them at
};

// What a disturbance did, in the order the far station met it.
struct Disturbance {
  enum class Kind { kFlippedBits, kLostByte, kNoiseByte };
  VirtualTime time;
  Kind kind;
  // The byte of sent() it struck; for a noise byte, how many bytes had been sent before.
  std::size_t sentIndex;
  // The byte as it arrived (flipped bits, noise), or the byte that was lost.
  std::uint8_t byte;
  // The byte it struck as it was sent (for a noise byte, the noise byte), so that the
  // record is whole without the byte records.
  std::uint8_t sentByte;
  bool operator==(const Disturbance&) const = default;
};

class InfraredMedium {
 public:
  // Joins two transceivers; their infrared sides stay attached until the medium goes.
  InfraredMedium(Simulation& simulation, SirTransceiver& a, SirTransceiver& b,
                 std::uint64_t seed = 0);
  // Joins a transceiver and a station that receives through `b` and sends with Carry.
  InfraredMedium(Simulation& simulation, SirTransceiver& a, InfraredReceiver& b,
                 std::uint64_t seed = 0);
  ~InfraredMedium();
  InfraredMedium(const InfraredMedium&) = delete;
  InfraredMedium& operator=(const InfraredMedium&) = delete;

  // A station has just sent this byte whole, in this direction. The transceivers' bytes
  // come here by themselves.
  void Carry(MediumDirection direction, const TimedByte& byte);

  // Switches disturbances on (or off, with zero rates) from the next byte on. A rate
  // outside 0 to 1 throws std::invalid_argument.
  void SetDisturbances(MediumDirection direction, const Disturbances& disturbances);
  void SetDisturbances(const Disturbances& disturbances);  // both directions
  // Sends a burst of noise to the far end of `direction`. A start in the past or a zero
  // speed throws std::invalid_argument.
  void InjectNoise(MediumDirection direction, const NoiseBurst& burst);

  // Records of a direction, with virtual times: every byte as sent; every byte as the far
  // station received it (noise included, lost bytes not); what the disturbances did. With
  // Recording::kCountsOnly the medium keeps no sent or delivered bytes, only their counts;
  // the disturbances are kept either way.
  void SetRecording(Recording recording);
  const std::vector<TimedByte>& sent(MediumDirection direction) const;
  const std::vector<TimedByte>& delivered(MediumDirection direction) const;
  std::uint64_t sentCount(MediumDirection direction) const;
  std::uint64_t deliveredCount(MediumDirection direction) const;
  const std::vector<Disturbance>& disturbances(MediumDirection direction) const;

 private:
  // What a transceiver sends into: forwards its bytes to Carry in one direction.
  class Inlet : public InfraredReceiver {
   public:
    Inlet(InfraredMedium& medium, MediumDirection direction)
        : medium_(medium), direction_(direction) {}
    void OnInfraredByte(const TimedByte& byte) override { medium_.Carry(direction_, byte); }

   private:
    InfraredMedium& medium_;
    MediumDirection direction_;
  };

  // One direction: where its bytes go, its disturbances and their generators, its records.
  struct Path {
    std::function<void(const TimedByte&)> deliver;
    Disturbances settings;
    std::mt19937_64 lossDraws;
    std::mt19937_64 bitDraws;
    std::mt19937_64 noiseDraws;
    ByteRecord sent;
    ByteRecord delivered;
    std::vector<Disturbance> disturbances;
  };

  InfraredMedium(Simulation& simulation, SirTransceiver& a, std::uint64_t seed);
  Path& PathOf(MediumDirection direction);
  const Path& PathOf(MediumDirection direction) const;
  void Deliver(Path& path, const TimedByte& byte);

  Simulation& simulation_;
  SirTransceiver& a_;
  SirTransceiver* b_ = nullptr;  // null when station b is not a transceiver
  Inlet inletA_{*this, MediumDirection::kAToB};
  Inlet inletB_{*this, MediumDirection::kBToA};
  Path paths_[2];
  TimerSet timers_;  // last, so that pending noise is dropped before the paths go
};

}  // namespace host::devices
