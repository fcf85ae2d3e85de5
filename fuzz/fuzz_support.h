// Support for the fuzz targets: a reader that turns the fuzzer's bytes into the choices a
// target makes, a check that stops the process (so that the fuzzer keeps the input and the
// replay run fails), and a fresh simulation per input in which every verifier finding and
// a deadlock also stop the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <span>

#include "host/kernel/simulation.h"

namespace sirfuzz {

// Stops the process with the message when a check fails.
[[noreturn]] inline void Fail(const char* what, const char* detail = "") {
  std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail);
  std::fflush(stderr);
  std::abort();
}

inline void Require(bool holds, const char* what) {
  if (!holds) Fail(what);
}

// The fuzzer's input, consumed from the front. Once it is used up every read yields 0s.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

  bool empty() const { return rest_.empty(); }
  std::size_t size() const { return rest_.size(); }

  std::uint8_t Byte() {
    if (rest_.empty()) return 0;
    std::uint8_t byte = rest_.front();
    rest_ = rest_.subspan(1);
    return byte;
  }
  // Little-endian, as the driver's information buffers are.
  std::uint16_t Short() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  std::uint32_t Word() { return Short() | static_cast<std::uint32_t>(Short()) << 16; }

  // Up to count bytes (fewer when the input ends first).
  std::span<const std::uint8_t> Take(std::size_t count) {
    std::span<const std::uint8_t> taken = rest_.first(count < rest_.size() ? count : rest_.size());
    rest_ = rest_.subspan(taken.size());
    return taken;
  }

 private:
  std::span<const std::uint8_t> rest_;
};

// Runs body as the first thread of a fresh simulation with this scheduler seed. A
// verifier finding or a deadlock stops the process with its description.
inline void RunSimulation(std::uint64_t seed, const std::function<void(host::Simulation&)>& body) {
  host::Simulation simulation(seed);
  simulation.verifier().SetHandler(
      [](const host::Violation& violation) { Fail("verifier:", violation.Describe().c_str()); });
  host::RunResult result = simulation.Run([&] { body(simulation); });
  if (result.outcome == host::RunOutcome::kDeadlock) {
    Fail("the simulation deadlocked:", result.deadlockReport.c_str());
  }
}

}  // namespace sirfuzz
