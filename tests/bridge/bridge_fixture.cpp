#include "tests/bridge/bridge_fixture.h"

#include <cstdio>
#include <ostream>

#include "host/kernel/irp.h"

namespace sirtest {

using host::devices::BridgeEvent;

BridgeHandle BridgeTest::StartedBridge() {
  BridgeHandle bridge = CreateBridge(lower.device());
  EXPECT_TRUE(IsUsableBridge(bridge));
  if (!IsUsableBridge(bridge)) return bridge;
  EXPECT_TRUE(StartBridge(bridge));
  return bridge;
}

void BridgeTest::Release(BridgeHandle bridge) {
  EXPECT_TRUE(StopBridge(bridge));
  DestroyBridge(bridge);
  ExpectNothingLeft();
}

void BridgeTest::ExpectNothingLeft() {
  sim().RunFor(10 * host::kMillisecond);  // let completions already due finish
  EXPECT_EQ(sim().pool().CheckLeaks("end of test"), 0u);
  EXPECT_EQ(host::CheckIrpLeaks("end of test"), 0u);
  EXPECT_EQ(lower.pendingCount(), 0u);
}

void BridgeTest::FeedSerial(const std::vector<std::uint8_t>& bytes, std::uint32_t rate) {
  host::VirtualTime start = sim().Now();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint8_t byte = bytes[i];
    sim().ScheduleAt(host::devices::CharacterEnd(start, i, rate),
                     [this, byte, rate] { model.ReceiveSerial(byte, rate); });
  }
}

std::string Describe(const BridgeEvent& event) {
  auto hex = [](const std::vector<std::uint8_t>& data) {
    std::string text;
    char byte[4];
    for (std::uint8_t value : data) {
      std::snprintf(byte, sizeof byte, " %02x", value);
      text += byte;
    }
    return text;
  };
  char value[32];
  switch (event.type) {
    case BridgeEvent::Type::kGetDescriptor: return "descriptor " + std::to_string(event.value);
    case BridgeEvent::Type::kSelectConfiguration: return "select";
    case BridgeEvent::Type::kDeconfigure: return "deconfigure";
    case BridgeEvent::Type::kLineCoding: return "line-coding " + std::to_string(event.value);
    case BridgeEvent::Type::kControlLines:
      std::snprintf(value, sizeof value, "lines 0x%04x", event.value);
      return value;
    case BridgeEvent::Type::kBulkOut:
      return "bulk-out" + hex(event.data) + " @" + std::to_string(event.value);
    case BridgeEvent::Type::kBulkIn: return "bulk-in" + hex(event.data);
    case BridgeEvent::Type::kNotification: return "notification" + hex(event.data);
    case BridgeEvent::Type::kStall: return "stall " + std::to_string(event.value);
  }
  return "?";
}

std::vector<std::string> BridgeTest::Traffic(std::size_t from) const {
  std::vector<std::string> traffic;
  const auto& events = model.events();
  for (std::size_t i = from; i < events.size(); ++i) traffic.push_back(Describe(events[i]));
  return traffic;
}

std::vector<TimedTraffic> BridgeTest::TimedTrafficSince(std::size_t from,
                                                                    host::VirtualTime start) const {
  std::vector<TimedTraffic> traffic;
  const auto& events = model.events();
  host::VirtualTime previous = start;
  for (std::size_t i = from; i < events.size(); ++i) {
    traffic.push_back(TimedTraffic{Describe(events[i]), events[i].time - previous});
    previous = events[i].time;
  }
  return traffic;
}

std::ostream& operator<<(std::ostream& out, const TimedTraffic& traffic) {
  return out << "{" << traffic.what << ", +" << traffic.gap << "}";
}

}  // namespace sirtest
