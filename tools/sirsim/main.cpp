// sirsim: the SIR miniport driver on the simulated host, two adapters facing each other
// over the infrared medium, playing an IrDA session. Exits 0 when the run was clean, 1
// when data was lost or corrupted or a check failed, 2 for bad options.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "tools/sirsim/options.h"
#include "tools/sirsim/scenario.h"
#include "tools/sirsim/summary.h"

namespace {

// A progress line on a terminal, at most a few times a wall second.
sirsim::ProgressHandler ProgressLine(const sirsim::Options& options) {
  if (options.quiet || !isatty(STDERR_FILENO)) return {};
  auto last = std::make_shared<std::chrono::steady_clock::time_point>();
  return [last](std::uint64_t done, std::uint64_t frames, host::VirtualTime now) {
    auto wall = std::chrono::steady_clock::now();
    if (wall - *last < std::chrono::milliseconds(200) && done < frames) return;
    *last = wall;
    std::fprintf(stderr, "\r  data %llu/%llu I-frames, virtual %.1f s ",
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(frames),
                 static_cast<double>(now) / host::kSecond);
    if (done >= frames) std::fputs("\r\033[K", stderr);
  };
}

}  // namespace

int main(int argc, char** argv) {
  sirsim::Options options;
  sirsim::ParseResult parsed = sirsim::ParseOptions(argc, argv, options);
  if (parsed.outcome == sirsim::ParseOutcome::kExit) {
    (parsed.exitCode == 0 ? std::cout : std::cerr) << parsed.message;
    return parsed.exitCode;
  }
  sirsim::RunReport report = sirsim::RunScenario(options, ProgressLine(options));
  if (options.trace) {
    for (const std::string& line : report.trace) std::cout << line << '\n';
  }
  if (options.json) {
    std::cout << sirsim::FormatJson(report, options);
  } else if (!options.quiet) {
    std::cout << sirsim::FormatSummary(report, options);
  }
  for (const std::string& error : report.errors) std::cerr << "sirsim: " << error << '\n';
  return report.errors.empty() ? 0 : 1;
}
