// The SIR transceiver behind the bridge: its capabilities, its table of operations, the
// timed RTS/DTR line sequences that power it, command it and change its speed, and the
// full link-speed change. Everything here sleeps and waits for synchronous USB requests:
// PASSIVE_LEVEL only (initialization, halt, reset, the worker thread, power handlers,
// the device-control path).
#pragma once

#include "bridge/bridge_handle.h"
#include "miniport/ir_device.h"

// The command byte that sets the transceiver to a speed, one per supported speed.
struct SpeedCommand {
  ULONG bitsPerSecond;
  UCHAR command;
};
inline constexpr SpeedCommand kSpeedCommands[] = {
    {9600, 0x10}, {19200, 0x11}, {38400, 0x12}, {57600, 0x13}, {115200, 0x14},
};
// The command for a speed, or null when the transceiver cannot run at it.
constexpr const SpeedCommand* FindSpeedCommand(ULONG bitsPerSecond) {
  for (const SpeedCommand& row : kSpeedCommands) {
    if (row.bitsPerSecond == bitsPerSecond) return &row;
  }
  return nullptr;
}

// Commands are written, and the transceiver powers up, at this rate.
constexpr ULONG kCommandSpeed = 9600;

// The operations table before the real operations are installed: every operation fails
// (or, for Shutdown, does nothing).
void InstallPlaceholderTransceiverOps(IrDevice* device);
template <class Argument>
NTSTATUS TransceiverPlaceholder(Argument) {
  return STATUS_UNSUCCESSFUL;
}
NTSTATUS TransceiverPlaceholderSetSpeed(BridgeHandle bridge, ULONG newSpeed, ULONG currentSpeed);
void TransceiverPlaceholderShutdown(BridgeHandle bridge);

// Puts the four real operations in the table; always STATUS_SUCCESS.
NTSTATUS InstallTransceiverOps(IrDevice* device);

NTSTATUS TransceiverQueryCaps(TransceiverCaps* caps);
// Brings the transceiver to 9600 bits/s from a speed not yet set.
NTSTATUS TransceiverInitialize(BridgeHandle bridge);
// The speed-change protocol. Leaves the bridge at 9600 bits/s when it changed the speed;
// setting the bridge to the new speed is the caller's step. A speed without a command is
// refused with STATUS_UNSUCCESSFUL before anything is sent; a request of the sequence that
// the device refused fails it with that request's status.
NTSTATUS TransceiverSetSpeed(BridgeHandle bridge, ULONG newSpeed, ULONG currentSpeed);
// Writes one command byte in command mode; the first failure of its three requests.
NTSTATUS TransceiverSendCommand(BridgeHandle bridge, UCHAR command);
NTSTATUS TransceiverPowerOn(BridgeHandle bridge);
void TransceiverShutdown(BridgeHandle bridge);

// The full link-speed change of the adapter to targetSpeed (9600 bits/s when null).
NTSTATUS IrSetLinkSpeed(IrDevice* device);

// Brings the link back at currentSpeed after the transceiver lost its state (a device
// error, a power-down, a reset's shutdown): powers it on, commands the speed from a speed
// not yet set and sets the bridge to it. Answers the first failure of the speed command
// and the bridge setting (the power-on's line requests are restated by the command).
NTSTATUS RestoreLinkSpeed(IrDevice* device);
