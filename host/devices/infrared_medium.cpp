// The infrared medium: carrying bytes between two stations, disturbing them, recording
// them. Runs in the completion context.
#include "host/devices/infrared_medium.h"

#include <stdexcept>
#include <string>

namespace host::devices {
namespace {

// One generator seed for each stream of draws (direction and kind), spread apart so that
// the streams of neighbouring seeds are unrelated (the SplitMix64 finaliser).
std::uint64_t StreamSeed(std::uint64_t seed, std::uint64_t stream) {
  std::uint64_t z = seed + (stream + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A draw in [0, 1) from the generator's top 53 bits; the same on every standard library.
double Draw(std::mt19937_64& draws) { return static_cast<double>(draws() >> 11) * 0x1.0p-53; }

void CheckRate(double rate, const char* what) {
  if (!(rate >= 0.0 && rate <= 1.0)) {
    throw std::invalid_argument(std::string("infrared medium: ") + what + " " +
                                std::to_string(rate) + " is not between 0 and 1");
  }
}

constexpr std::size_t kBitsPerByte = 8;

}  // namespace

InfraredMedium::InfraredMedium(Simulation& simulation, SirTransceiver& a, std::uint64_t seed)
    : simulation_(simulation), a_(a), timers_(simulation) {
  for (std::size_t direction = 0; direction < 2; ++direction) {
    Path& path = paths_[direction];
    path.lossDraws.seed(StreamSeed(seed, direction * 3));
    path.bitDraws.seed(StreamSeed(seed, direction * 3 + 1));
    path.noiseDraws.seed(StreamSeed(seed, direction * 3 + 2));
  }
  PathOf(MediumDirection::kBToA).deliver = [&a](const TimedByte& byte) {
    a.ReceiveInfrared(byte.value, byte.rate);
  };
  a_.AttachInfrared(&inletA_);
}

InfraredMedium::InfraredMedium(Simulation& simulation, SirTransceiver& a, SirTransceiver& b,
                               std::uint64_t seed)
    : InfraredMedium(simulation, a, seed) {
  b_ = &b;
  PathOf(MediumDirection::kAToB).deliver = [&b](const TimedByte& byte) {
    b.ReceiveInfrared(byte.value, byte.rate);
  };
  b.AttachInfrared(&inletB_);
}

InfraredMedium::InfraredMedium(Simulation& simulation, SirTransceiver& a, InfraredReceiver& b,
                               std::uint64_t seed)
    : InfraredMedium(simulation, a, seed) {
  PathOf(MediumDirection::kAToB).deliver = [&b](const TimedByte& byte) { b.OnInfraredByte(byte); };
}

InfraredMedium::~InfraredMedium() {
  a_.AttachInfrared(nullptr);
  if (b_ != nullptr) b_->AttachInfrared(nullptr);
}

InfraredMedium::Path& InfraredMedium::PathOf(MediumDirection direction) {
  return paths_[static_cast<std::size_t>(direction)];
}

const InfraredMedium::Path& InfraredMedium::PathOf(MediumDirection direction) const {
  return paths_[static_cast<std::size_t>(direction)];
}

void InfraredMedium::Carry(MediumDirection direction, const TimedByte& byte) {
  Path& path = PathOf(direction);
  const std::size_t index = path.sent.count();
  path.sent.Add(byte);
  // Every byte takes all its draws, used or not, so that its fate depends only on the
  // seed, the rates and its place in the direction.
  bool lost = Draw(path.lossDraws) < path.settings.lossRate;
  std::uint8_t flips = 0;
  for (std::size_t bit = 0; bit < kBitsPerByte; ++bit) {
    if (Draw(path.bitDraws) < path.settings.bitErrorRate) flips |= static_cast<std::uint8_t>(1u << bit);
  }
  VirtualTime now = simulation_.Now();
  if (lost) {
    path.disturbances.push_back(
        Disturbance{now, Disturbance::Kind::kLostByte, index, byte.value, byte.value});
    return;
  }
  TimedByte arrived{now, static_cast<std::uint8_t>(byte.value ^ flips), byte.rate};
  if (flips != 0) {
    path.disturbances.push_back(
        Disturbance{now, Disturbance::Kind::kFlippedBits, index, arrived.value, byte.value});
  }
  Deliver(path, arrived);
}

void InfraredMedium::Deliver(Path& path, const TimedByte& byte) {
  path.delivered.Add(byte);
  path.deliver(byte);
}

void InfraredMedium::SetDisturbances(MediumDirection direction, const Disturbances& disturbances) {
  CheckRate(disturbances.bitErrorRate, "bit error rate");
  CheckRate(disturbances.lossRate, "loss rate");
  PathOf(direction).settings = disturbances;
}

void InfraredMedium::SetDisturbances(const Disturbances& disturbances) {
  SetDisturbances(MediumDirection::kAToB, disturbances);
  SetDisturbances(MediumDirection::kBToA, disturbances);
}

void InfraredMedium::InjectNoise(MediumDirection direction, const NoiseBurst& burst) {
  if (burst.speed == 0) throw std::invalid_argument("infrared medium: noise at speed 0");
  if (burst.start < simulation_.Now()) {
    throw std::invalid_argument("infrared medium: noise at " + std::to_string(burst.start) +
                                ", before the present time " + std::to_string(simulation_.Now()));
  }
  Path& path = PathOf(direction);
  for (std::size_t i = 0; i < burst.count; ++i) {
    auto value = static_cast<std::uint8_t>(path.noiseDraws() >> 56);
    std::uint32_t speed = burst.speed;
    timers_.At(CharacterEnd(burst.start, i, speed), [this, &path, value, speed] {
      VirtualTime now = simulation_.Now();
      path.disturbances.push_back(
          Disturbance{now, Disturbance::Kind::kNoiseByte, path.sent.count(), value, value});
      Deliver(path, TimedByte{now, value, speed});
    });
  }
}

void InfraredMedium::SetRecording(Recording recording) {
  for (Path& path : paths_) {
    path.sent.SetRecording(recording);
    path.delivered.SetRecording(recording);
  }
}

const std::vector<TimedByte>& InfraredMedium::sent(MediumDirection direction) const {
  return PathOf(direction).sent.bytes();
}

const std::vector<TimedByte>& InfraredMedium::delivered(MediumDirection direction) const {
  return PathOf(direction).delivered.bytes();
}

std::uint64_t InfraredMedium::sentCount(MediumDirection direction) const {
  return PathOf(direction).sent.count();
}

std::uint64_t InfraredMedium::deliveredCount(MediumDirection direction) const {
  return PathOf(direction).delivered.count();
}

const std::vector<Disturbance>& InfraredMedium::disturbances(MediumDirection direction) const {
  return PathOf(direction).disturbances;
}

}  // namespace host::devices
