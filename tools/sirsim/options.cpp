// Command-line parsing with CLI11.
#include "tools/sirsim/options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <regex>

namespace sirsim {
namespace {

bool ParseNumber(const std::string& text, std::uint32_t& value) {
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && at == end;
}

// "N" or "MIN-MAX", each from 1 to 2048.
std::string ParseSize(const std::string& text, Options& options) {
  std::uint32_t low = 0, high = 0;
  auto dash = text.find('-');
  bool ok = dash == std::string::npos
                ? ParseNumber(text, low) && ((high = low), true)
                : ParseNumber(text.substr(0, dash), low) && ParseNumber(text.substr(dash + 1), high);
  if (!ok) return "--size: '" + text + "' is neither a size nor a range MIN-MAX";
  if (low < 1 || high > 2048 || low > high) {
    return "--size: sizes run from 1 to 2048 information bytes, the smaller first";
  }
  options.minSize = low;
  options.maxSize = high;
  return {};
}

// "A@2.5s", "B@300ms", "A@1500us" or a bare number of seconds.
std::string ParseUnplug(const std::string& text, Options& options) {
  static const std::regex form(R"(([AaBb])@([0-9]+(\.[0-9]+)?)(s|ms|us)?)");
  std::smatch match;
  if (!std::regex_match(text, match, form)) {
    return "--unplug: '" + text + "' is not SIDE@TIME (A or B, then a time such as 2s, 300ms)";
  }
  double amount = std::stod(match[2]);
  std::string unit = match[4];
  double scale = unit == "ms" ? host::kMillisecond : unit == "us" ? host::kMicrosecond
                                                                  : host::kSecond;
  double at = amount * scale;
  if (at > static_cast<double>(host::kHour)) return "--unplug: the time is beyond one hour";
  Unplug unplug;
  unplug.side = (match[1] == "A" || match[1] == "a") ? Side::kA : Side::kB;
  unplug.at = static_cast<host::VirtualTime>(at);
  options.unplug = unplug;
  return {};
}

std::string CheckRate(const char* name, double rate) {
  if (!(rate >= 0.0 && rate <= 1.0)) return std::string(name) + ": a rate runs from 0 to 1";
  return {};
}

}  // namespace

ParseResult ParseOptions(int argc, const char* const* argv, Options& options) {
  CLI::App app{
      "Runs the SIR miniport driver on the simulated host: two adapters, A and B, facing\n"
      "each other over a simulated infrared medium, play an IrDA session through NDIS\n"
      "(discovery, connection, speed change, data both ways, disconnection), then a raw\n"
      "transceiver exchange and the version query, and halt.",
      "sirsim"};
  std::string size, unplug;
  app.add_option("--speed", options.speed, "highest link speed A offers, bits/s")
      ->check(CLI::IsMember({9600, 19200, 38400, 57600, 115200}));
  app.add_option("--frames", options.frames, "I-frames in the data phase, both ways together")
      ->check(CLI::Range(0u, 1'000'000u));
  app.add_option("--size", size, "information bytes of each I-frame: N or MIN-MAX (1 to 2048)");
  app.add_option("--seed", options.seed, "seed of the scheduler and of every random choice");
  app.add_option("--noise", options.noise, "bit-error rate on the medium (0 to 1)");
  app.add_option("--unplug", unplug, "remove one dongle at a virtual time: SIDE@TIME, e.g. B@2s");
  app.add_option("--alloc-fail", options.allocFail,
                 "rate of injected allocation failures once the adapters are up (0 to 1)");
  app.add_option("--pcap", options.pcap, "write adapter A's frames to this capture file");
  app.add_flag("--trace", options.trace,
               "print the wire: control requests, line states, bytes (only then do the "
               "devices keep every byte, which a long run pays for in memory)");
  app.add_flag("--quiet", options.quiet, "print nothing but errors");
  app.add_flag("--json", options.json, "print the summary as one JSON object");
  app.set_version_flag("--version", kVersion);

  ParseResult result;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return {ParseOutcome::kExit, 0, app.help()};
  } catch (const CLI::CallForVersion&) {
    return {ParseOutcome::kExit, 0, std::string(kVersion) + "\n"};
  } catch (const CLI::ParseError& error) {
    return {ParseOutcome::kExit, 2, std::string("sirsim: ") + error.what() + "\n" +
                                        "Run with --help for more information.\n"};
  }
  std::string problem;
  if (!size.empty()) problem = ParseSize(size, options);
  if (problem.empty() && !unplug.empty()) problem = ParseUnplug(unplug, options);
  if (problem.empty()) problem = CheckRate("--noise", options.noise);
  if (problem.empty()) problem = CheckRate("--alloc-fail", options.allocFail);
  if (problem.empty() && options.quiet && options.trace) {
    problem = "--quiet and --trace ask for opposite things";
  }
  if (!problem.empty()) return {ParseOutcome::kExit, 2, "sirsim: " + problem + "\n"};
  return result;
}

}  // namespace sirsim
