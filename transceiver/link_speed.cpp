// The full link-speed change: flush the line with two beginning-of-frame flags at the old
// speed, command the transceiver, then move the bridge to the new speed. PASSIVE_LEVEL,
// on the worker thread or in initialization and reset.
#include "bridge/bridge_device.h"
#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "transceiver/transceiver.h"

namespace {

// The waits around the flags, in microseconds times bits per second: 450 bit periods
// before them, 20 (their own two characters) after them.
constexpr ULONG kQuietBitsBefore = 450'000'000;
constexpr ULONG kFlagBitsAfter = 20'000'000;
constexpr UCHAR kFlushFlags[2] = {0xC0, 0xC0};

}  // namespace

NTSTATUS IrSetLinkSpeed(IrDevice* device) {
  BridgeHandle bridge = device->bridge;
  ULONG target = device->targetSpeed != nullptr ? device->targetSpeed->bitsPerSecond
                                                : kCommandSpeed;
  ULONG current = device->currentSpeed;

  // One transceiver sequence at a time on the bridge: the raw exchange drives the same
  // lines and may change the speed.
  BeginTransceiverSequence(bridge);
  if (current != 0) NdisMSleep(kQuietBitsBefore / current);
  BridgeWrite(bridge, kFlushFlags, sizeof kFlushFlags);  // best effort: a lost flush is harmless
  if (current != 0) NdisMSleep(kFlagBitsAfter / current);

  NTSTATUS status = TransceiverSetSpeed(bridge, target, current);
  // At 9600 the bridge is already there: the speed change moved it there or found it so.
  if (status == STATUS_SUCCESS && target != kCommandSpeed) status = SetBaudRate(bridge, target);
  if (status == STATUS_SUCCESS) device->currentSpeed = target;
  EndTransceiverSequence(bridge);
  return status;
}

NTSTATUS RestoreLinkSpeed(IrDevice* device) {
  BridgeHandle bridge = device->bridge;
  BeginTransceiverSequence(bridge);
  TransceiverPowerOn(bridge);
  NTSTATUS status = TransceiverSetSpeed(bridge, device->currentSpeed, 0);
  // A device that has stopped answering is not asked for the rate as well; a refused step
  // of the speed command still fails the restore when the rate is set.
  if (status != STATUS_IO_TIMEOUT) {
    NTSTATUS rate = SetBaudRate(bridge, device->currentSpeed);
    if (NT_SUCCESS(status)) status = rate;
  }
  EndTransceiverSequence(bridge);
  return status;
}
