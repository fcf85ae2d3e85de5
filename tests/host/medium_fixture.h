// Test fixture for the infrared medium and the scripted peer: two adapters' hardware (a
// serial bridge model behind a lower device, with its transceiver), brought up through
// the driver's bridge layer at a link speed, and helpers to write bytes and read what
// crossed. Runs on the simulated test thread.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "bridge/bridge_device.h"
#include "host/devices/serial_bridge.h"
#include "host/devices/sir_transceiver.h"
#include "host/usb/lower_device.h"
#include "miniport/ir_device.h"
#include "tests/support/sim_test.h"

namespace sirtest {

struct AdapterHardware {
  explicit AdapterHardware(host::Simulation& simulation)
      : model(simulation), transceiver(simulation, model), lower(simulation, model) {}
  host::devices::SerialBridge model;
  host::devices::SirTransceiver transceiver;
  host::usb::LowerDevice lower;
  IrDevice device{};  // the bridge handle and the speeds of the link-speed change
};

class MediumTest : public SimTest {
 protected:
  AdapterHardware a{sim()};
  AdapterHardware b{sim()};

  // Bridge started, 8N1, transceiver on and the link at `speed`; a failure fails the test.
  void BringUp(AdapterHardware& adapter, ULONG speed);
  // Stops and destroys the bridges brought up, then checks that no pool, IRP or request
  // is left behind.
  void ReleaseAll();

  // Starts an asynchronous bulk-out write of the bytes; FinishWrites waits until every
  // write started has completed, and fails the test unless each one succeeded whole.
  void StartWrite(AdapterHardware& adapter, std::vector<std::uint8_t> bytes);
  void FinishWrites();
  // Both at once, answering the virtual time the first byte began to leave the bridge.
  host::VirtualTime Write(AdapterHardware& adapter, std::vector<std::uint8_t> bytes);
  // When the bytes of the adapter's last bulk-out transfer began to leave its bridge (on
  // an idle line, the moment the bridge took the transfer).
  static host::VirtualTime LastBulkOutStart(const AdapterHardware& adapter);

 private:
  struct PendingWrite {
    std::vector<std::uint8_t> bytes;
    BulkStatusBlock status{};
    bool done = false;
  };
  static NTSTATUS WriteDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  std::deque<PendingWrite> writes_;
  std::vector<AdapterHardware*> up_;
};

// The values of timed bytes, and their times.
std::vector<std::uint8_t> Values(const std::vector<host::devices::TimedByte>& bytes);
std::vector<host::VirtualTime> Times(const std::vector<host::devices::TimedByte>& bytes);
// The times at which `count` characters sent back to back at `rate` from `start` end.
std::vector<host::VirtualTime> CharacterEnds(host::VirtualTime start, std::size_t count,
                                             std::uint32_t rate);

}  // namespace sirtest
