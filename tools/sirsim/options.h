// The command line of sirsim: what a run is asked to do, and the parser that reads it.
// Plain host code, run before the simulation starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/kernel/simulation.h"

namespace sirsim {

enum class Side { kA = 0, kB = 1 };
inline const char* SideName(Side side) { return side == Side::kA ? "A" : "B"; }

struct Unplug {
  Side side = Side::kA;
  host::VirtualTime at = 0;
};

struct Options {
  std::uint32_t speed = 115200;  // the highest speed A offers in its SNRM
  std::uint32_t frames = 24;     // I-frames of the data phase, both ways together
  std::uint32_t minSize = 1;     // information bytes of each I-frame, drawn in this range
  std::uint32_t maxSize = 2048;
  std::uint64_t seed = 0;        // the scheduler's seed and every random choice
  double noise = 0.0;            // bit-error rate on the medium, both directions
  std::optional<Unplug> unplug;
  double allocFail = 0.0;        // rate of injected allocation failures
  std::string pcap;              // capture file of A's frames; empty: none
  bool trace = false;
  bool quiet = false;
  bool json = false;
};

enum class ParseOutcome { kRun, kExit };

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::kRun;
  int exitCode = 0;     // for kExit: 0 after --help or --version, 2 for bad options
  std::string message;  // what to print for kExit (help, version or the error)
};

constexpr const char* kVersion = "sirsim 1.0";

// Reads argv into options; anything wrong gives kExit with code 2 and says what.
ParseResult ParseOptions(int argc, const char* const* argv, Options& options);

}  // namespace sirsim
