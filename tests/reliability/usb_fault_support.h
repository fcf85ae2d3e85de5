// Test support for the USB fault campaign: one adapter, loaded through DriverEntry, facing
// a scripted station over the infrared medium, with the steps of its life (bring-up, a
// speed change, a reset, power down and up, a raw exchange, halt) and a check that the
// link carries a frame each way at a given speed. Used inside a fresh simulation run.
#pragma once

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "control/device_control.h"
#include "host/devices/scripted_peer.h"
#include "host/io/io_manager.h"
#include "host/ndis/miniport_host.h"
#include "host/ndis/send_packet.h"
#include "miniport/driver_entry.h"
#include "miniport/ir_device.h"
#include "tests/sir/sir_reference.h"

namespace sirtest {

// What the driver may take for a halt: the wait for the transfers (at most 501 sleeps
// of 20 ms), the one-second stop of the status polling, and a 3 s time-out for each of
// the halt's three synchronous requests (two line requests and the deconfiguration).
constexpr host::VirtualTime kHaltBound =
    501 * 20 * host::kMillisecond + host::kSecond + 3 * 3 * host::kSecond;
// A halt whose device answers every request: the polling stop and the requests.
constexpr host::VirtualTime kAnsweredHaltBound = 2 * host::kSecond;

class UsbRig {
 public:
  explicit UsbRig(host::Simulation& simulation, const host::ndis::AdapterSettings& settings = {})
      : simulation_(simulation), ndis_(DriverEntry), adapter_(ndis_.AddAdapter(settings)),
        peer_(std::make_unique<host::devices::ScriptedPeer>(simulation,
                                                             adapter_.dongle->transceiver)) {
    adapter_.block.ReturnDuringIndication();
  }

  host::ndis::MiniportHost& ndis() { return ndis_; }
  host::ndis::Adapter& adapter() { return adapter_; }
  host::usb::LowerDevice& lower() { return adapter_.dongle->lower; }
  IrDevice* device() const { return adapter_.context<IrDevice>(); }
  host::Simulation& simulation() { return simulation_; }
  host::devices::ScriptedPeer& peer() { return *peer_; }

  NDIS_STATUS Initialize() { return ndis_.Initialize(adapter_); }
  NDIS_STATUS SetSpeed(ULONG speed) {
    return ndis_.SetUlong(adapter_, OID_IRDA_LINK_SPEED, speed).status;
  }
  NDIS_STATUS Reset() { return ndis_.Reset(adapter_).status; }
  NDIS_STATUS SetPower(ULONG state) {
    return ndis_.SetUlong(adapter_, OID_PNP_SET_POWER, state).status;
  }
  host::io::IoResult Exchange(const std::vector<UCHAR>& input, ULONG outputLength) {
    return host::io::DeviceControl(adapter_.deviceObject, IOCTL_TRANSCEIVER_EXCHANGE, input,
                                   outputLength);
  }
  // Halts the adapter and answers how long the halt took.
  host::VirtualTime Halt() {
    host::VirtualTime start = simulation_.Now();
    ndis_.Halt(adapter_);
    return simulation_.Now() - start;
  }

  // Hands a packet to the driver, kept until the rig goes; answers what MiniportSend said.
  NDIS_STATUS Send(const std::vector<UCHAR>& payload) {
    packets_.push_back(std::make_unique<host::ndis::SendPacket>(payload));
    return ndis_.Send(adapter_, packets_.back()->get());
  }
  std::size_t sendCompletions() const { return adapter_.block.sendCompletions().size(); }

  // Empty when a frame crosses each way at `speed`: one sent through the driver reaches
  // the station at that speed, one from the station is indicated. Otherwise what failed.
  std::string CheckLink(ULONG speed) {
    const UCHAR mark = static_cast<UCHAR>(++checks_);
    const std::vector<UCHAR> out = {0x21, 0x13, mark, 0x7D, 0xC0, 0x55};
    const std::size_t receivedBefore = peer_->received().size();
    const std::size_t completionsBefore = sendCompletions();
    NDIS_STATUS answered = Send(out);
    if (answered != NDIS_STATUS_PENDING) return "the send was answered " + Hex(answered);
    if (!simulation_.RunUntil([&] { return sendCompletions() > completionsBefore; },
                              simulation_.Now() + 5 * host::kSecond)) {
      return "the send was not completed";
    }
    NDIS_STATUS sent = adapter_.block.sendCompletions().back().status;
    if (sent != NDIS_STATUS_SUCCESS) return "the send completed with " + Hex(sent);
    const Bytes body = Stuffed(WithFcs(out));
    simulation_.RunFor(50 * host::kMillisecond);  // the write ends as its last byte leaves
    std::vector<UCHAR> wire;
    for (std::size_t i = receivedBefore; i < peer_->received().size(); ++i) {
      const host::devices::TimedByte& byte = peer_->received()[i];
      if (byte.rate == speed) wire.push_back(byte.value);
    }
    if (std::search(wire.begin(), wire.end(), body.begin(), body.end()) == wire.end()) {
      return "the frame did not reach the station at " + std::to_string(speed);
    }

    const std::vector<UCHAR> in = {0x20, 0x73, mark, 0xC1, 0x7E};
    const std::size_t indicationsBefore = adapter_.block.indications().size();
    peer_->Send(ReferenceFrame(in, 2), speed);
    auto indicated = [&] {
      const auto& indications = adapter_.block.indications();
      for (std::size_t i = indicationsBefore; i < indications.size(); ++i) {
        if (indications[i].bytes == in) return true;
      }
      return false;
    };
    if (!simulation_.RunUntil(indicated, simulation_.Now() + 2 * host::kSecond)) {
      return "the station's frame at " + std::to_string(speed) + " was not indicated";
    }
    return "";
  }

  static std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
  }

 private:
  host::Simulation& simulation_;
  host::ndis::MiniportHost ndis_;
  host::ndis::Adapter& adapter_;
  std::vector<std::unique_ptr<host::ndis::SendPacket>> packets_;
  std::unique_ptr<host::devices::ScriptedPeer> peer_;  // after the packets: goes first
  int checks_ = 0;
};

}  // namespace sirtest
