// Text and JSON summaries of a run.
#include "tools/sirsim/summary.h"

#include <cstdarg>
#include <cstdio>

namespace sirsim {
namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

double Ratio(double part, double whole) { return whole > 0 ? part / whole : 0.0; }
double SecondsOf(host::VirtualTime time) {
  return static_cast<double>(time) / static_cast<double>(host::kSecond);
}

std::string SpeedList(const std::vector<std::uint32_t>& speeds) {
  std::string text;
  for (std::uint32_t speed : speeds) text += (text.empty() ? "" : " ") + std::to_string(speed);
  return text.empty() ? "-" : text;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += Format("\\u%04x", c);
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) text += Format("%s%02X", text.empty() ? "" : " ", byte);
  return text;
}

}  // namespace

std::string FormatSummary(const RunReport& report, const Options& options) {
  const SideReport& a = report.sides[0];
  const SideReport& b = report.sides[1];
  std::string out;
  out += Format("sirsim: adapters A (0x%08X) and B (0x%08X) over the infrared medium, seed %llu\n",
                a.deviceAddress, b.deviceAddress,
                static_cast<unsigned long long>(report.seed));
  out += Format("  discovery   8 slots at 9600 bits/s, B answered in slot %u\n",
                report.answerSlot);
  out += Format("  connection  SNRM/UA, negotiated %u bits/s; data: %llu I-frames of %u to %u bytes\n",
                report.negotiatedSpeed, static_cast<unsigned long long>(report.dataFrames),
                options.minSize, options.maxSize);
  auto row = [&](const char* label, unsigned long long x, unsigned long long y) {
    out += Format("  %-26s %12llu %12llu\n", label, x, y);
  };
  out += Format("  %-26s %12s %12s\n", "", "A", "B");
  row("frames sent", a.framesSent, b.framesSent);
  row("bytes sent", a.bytesSent, b.bytesSent);
  row("sends failed", a.sendsFailed, b.sendsFailed);
  row("frames received", a.framesReceived, b.framesReceived);
  row("bytes received", a.bytesReceived, b.bytesReceived);
  row("frames lost on the way in", a.framesLost, b.framesLost);
  row("frames corrupted", a.framesCorrupted, b.framesCorrupted);
  row("driver: transmitted ok", a.driver.xmitOk, b.driver.xmitOk);
  row("driver: transmit errors", a.driver.xmitError, b.driver.xmitError);
  row("driver: received ok", a.driver.rcvOk, b.driver.rcvOk);
  row("driver: receive drops", a.driver.rcvError, b.driver.rcvError);
  row("driver: receive overflows", a.driver.rcvNoBuffer, b.driver.rcvNoBuffer);
  if (options.noise > 0) {
    row("medium: disturbances in", a.mediumDisturbances, b.mediumDisturbances);
    row("  on flags or escapes", a.struckControlBytes, b.struckControlBytes);
  }
  out += Format("  %-26s %12u %12u\n", "link speed (data phase)", a.linkSpeed, b.linkSpeed);
  out += Format("  supported speeds  A: %s; B: %s\n", SpeedList(a.supportedSpeeds).c_str(),
                SpeedList(b.supportedSpeeds).c_str());
  if (report.dataTime > 0) {
    out += Format("  goodput     %.1f kbit/s of a line goodput of %.1f kbit/s (%.1f%%) over %.3f s\n",
                  report.goodput / 1000, report.lineGoodput / 1000,
                  100 * Ratio(report.goodput, report.lineGoodput), SecondsOf(report.dataTime));
  }
  out += Format("  device control  version 0x%08X; exchange sent %s, got back %s\n",
                report.driverVersion.value_or(0), HexBytes(report.exchangeSent).c_str(),
                report.exchangeReply.empty() ? "nothing" : HexBytes(report.exchangeReply).c_str());
  if (options.allocFail > 0) {
    out += Format("  faults      %llu allocations failed\n",
                  static_cast<unsigned long long>(report.allocationsFailed));
  }
  if (options.unplug) {
    out += Format("  unplug      %s %s\n", SideName(options.unplug->side),
                  report.unplugged ? "removed" : "not removed: the session ended first");
  }
  double virtualSeconds = SecondsOf(report.virtualTime);
  out += Format("  time        virtual %.3f s, wall %.3f s, %.0fx real time\n", virtualSeconds,
                report.wallSeconds, Ratio(virtualSeconds, report.wallSeconds));
  if (report.errors.empty()) {
    out += "  result      ok: every frame arrived intact and in order, nothing leaked\n";
  } else {
    out += Format("  result      %zu problems\n", report.errors.size());
  }
  return out;
}

std::string FormatJson(const RunReport& report, const Options& options) {
  std::string out = "{";
  out += Format("\"seed\":%llu,\"speed\":%u,\"negotiatedSpeed\":%u,\"answerSlot\":%u,",
                static_cast<unsigned long long>(report.seed), options.speed,
                report.negotiatedSpeed, report.answerSlot);
  out += "\"sides\":{";
  for (int side = 0; side < 2; ++side) {
    const SideReport& s = report.sides[side];
    if (side) out += ",";
    out += "\"" + s.name + "\":{";
    out += Format("\"deviceAddress\":%u,\"framesSent\":%llu,\"bytesSent\":%llu,"
                  "\"sendsFailed\":%llu,\"framesReceived\":%llu,\"bytesReceived\":%llu,"
                  "\"framesLost\":%llu,\"framesCorrupted\":%llu,\"linkSpeed\":%u,"
                  "\"mediumDisturbances\":%llu,\"struckControlBytes\":%llu,",
                  s.deviceAddress, static_cast<unsigned long long>(s.framesSent),
                  static_cast<unsigned long long>(s.bytesSent),
                  static_cast<unsigned long long>(s.sendsFailed),
                  static_cast<unsigned long long>(s.framesReceived),
                  static_cast<unsigned long long>(s.bytesReceived),
                  static_cast<unsigned long long>(s.framesLost),
                  static_cast<unsigned long long>(s.framesCorrupted), s.linkSpeed,
                  static_cast<unsigned long long>(s.mediumDisturbances),
                  static_cast<unsigned long long>(s.struckControlBytes));
    out += "\"supportedSpeeds\":[";
    for (std::size_t i = 0; i < s.supportedSpeeds.size(); ++i) {
      out += (i ? "," : "") + std::to_string(s.supportedSpeeds[i]);
    }
    out += "],";
    out += Format("\"driver\":{\"answered\":%s,\"xmitOk\":%u,\"rcvOk\":%u,\"xmitError\":%u,"
                  "\"rcvError\":%u,\"rcvNoBuffer\":%u}}",
                  s.driver.answered ? "true" : "false", s.driver.xmitOk, s.driver.rcvOk,
                  s.driver.xmitError, s.driver.rcvError, s.driver.rcvNoBuffer);
  }
  out += "},";
  out += Format("\"data\":{\"frames\":%llu,\"payloadBytes\":%llu,\"wireBytes\":%llu,"
                "\"seconds\":%.7f,\"goodput\":%.1f,\"lineGoodput\":%.1f},",
                static_cast<unsigned long long>(report.dataFrames),
                static_cast<unsigned long long>(report.dataPayloadBytes),
                static_cast<unsigned long long>(report.dataWireBytes),
                SecondsOf(report.dataTime), report.goodput, report.lineGoodput);
  out += Format("\"driverVersion\":%u,", report.driverVersion.value_or(0));
  out += "\"exchange\":{\"sent\":\"" + HexBytes(report.exchangeSent) + "\",\"reply\":\"" +
         HexBytes(report.exchangeReply) + "\"},";
  out += Format("\"allocationsFailed\":%llu,\"unplugged\":%s,",
                static_cast<unsigned long long>(report.allocationsFailed),
                report.unplugged ? "true" : "false");
  out += Format("\"virtualSeconds\":%.7f,\"wallSeconds\":%.6f,",
                SecondsOf(report.virtualTime), report.wallSeconds);
  out += "\"errors\":[";
  for (std::size_t i = 0; i < report.errors.size(); ++i) {
    out += (i ? ",\"" : "\"") + Escape(report.errors[i]) + "\"";
  }
  out += "],";
  out += Format("\"ok\":%s}\n", report.errors.empty() ? "true" : "false");
  return out;
}

}  // namespace sirsim
