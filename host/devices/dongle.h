// One simulated adapter's hardware: the USB serial bridge, the SIR transceiver on its
// serial side, and the bus driver's device object below the miniport. Made and destroyed
// inside a simulation run, after every request to it has ended.
#pragma once

#include "host/devices/serial_bridge.h"
#include "host/devices/sir_transceiver.h"
#include "host/usb/lower_device.h"

namespace host::devices {

struct Dongle {
  explicit Dongle(Simulation& simulation)
      : bridge(simulation), transceiver(simulation, bridge), lower(simulation, bridge) {}
  Dongle(const Dongle&) = delete;
  Dongle& operator=(const Dongle&) = delete;

  // How much the bridge and the transceiver keep of the bytes that cross them.
  void SetRecording(Recording recording) {
    bridge.SetRecording(recording);
    transceiver.SetRecording(recording);
  }

  SerialBridge bridge;
  SirTransceiver transceiver;
  usb::LowerDevice lower;
};

}  // namespace host::devices
