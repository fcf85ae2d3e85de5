// Test fixture for the bridge layer and the transceiver: a serial bridge model with a
// transceiver on its serial side, behind a lower device of the host's bus driver, and
// helpers to bring a bridge up and down, feed the serial side and read the traffic.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/bridge_device.h"
#include "host/devices/serial_bridge.h"
#include "host/devices/sir_transceiver.h"
#include "host/usb/lower_device.h"
#include "tests/support/sim_test.h"

namespace sirtest {

// One event of the model's traffic as text, and the virtual time since the one before.
struct TimedTraffic {
  std::string what;
  host::VirtualTime gap;
  bool operator==(const TimedTraffic&) const = default;
};

class BridgeTest : public SimTest {
 protected:
  host::devices::SerialBridge model{sim()};
  host::devices::SirTransceiver transceiver{sim(), model};
  host::usb::LowerDevice lower{sim(), model};

  // CreateBridge and StartBridge; a failure of either fails the test.
  BridgeHandle StartedBridge();
  // StopBridge and DestroyBridge, then ExpectNothingLeft.
  void Release(BridgeHandle bridge);
  // No pool, no IRP and no request left behind.
  void ExpectNothingLeft();

  // Bytes arrive on the bridge's serial side back to back at `rate`, the first one
  // character time from now.
  void FeedSerial(const std::vector<std::uint8_t>& bytes, std::uint32_t rate);

  // The model's events from index `from` on, as text: "lines 0x0003", "line-coding 9600",
  // "bulk-out c0 c0 @115200", "descriptor 2", "select", "deconfigure", "bulk-in 01 02",
  // "notification a1 20 ...".
  std::vector<std::string> Traffic(std::size_t from = 0) const;
  // The events from `from` on, with the time since the one before (the first: since
  // `start`).
  std::vector<TimedTraffic> TimedTrafficSince(std::size_t from, host::VirtualTime start) const;
};

std::string Describe(const host::devices::BridgeEvent& event);
std::ostream& operator<<(std::ostream& out, const TimedTraffic& traffic);

}  // namespace sirtest
