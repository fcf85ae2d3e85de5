// The session sirsim plays: the driver loaded on the simulated host, adapters A and B
// facing each other over the infrared medium, and a scripted IrDA session through NDIS
// (discovery, connection, speed change, data both ways, disconnection), then the private
// device-control requests and both halts. Builds a whole simulation and runs it.
#pragma once

#include <functional>

#include "tools/sirsim/options.h"
#include "tools/sirsim/run_report.h"

namespace sirsim {

// Told now and then how the data phase goes, for a progress line.
using ProgressHandler =
    std::function<void(std::uint64_t framesDone, std::uint64_t frames, host::VirtualTime now)>;

RunReport RunScenario(const Options& options, const ProgressHandler& progress = {});

}  // namespace sirsim
