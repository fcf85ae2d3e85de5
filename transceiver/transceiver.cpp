// The transceiver's operations table, its capabilities and its line sequences.
// PASSIVE_LEVEL: every sequence sleeps between its line requests.
#include "transceiver/transceiver.h"

#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"

namespace {

// Waits of the line sequences, in microseconds.
constexpr ULONG kLineSettleWait = 50'000;    // each step of power-on and speed change
constexpr ULONG kCommandModeWait = 2'000;    // command state before and after the byte
constexpr ULONG kCommandReturnWait = 5'000;  // normal state after a command

constexpr TransceiverCaps kTransceiverCaps = {kSirSpeedMask, 100, 0};

}  // namespace

NTSTATUS TransceiverPlaceholderSetSpeed(BridgeHandle, ULONG, ULONG) { return STATUS_UNSUCCESSFUL; }

void TransceiverPlaceholderShutdown(BridgeHandle) {}

void InstallPlaceholderTransceiverOps(IrDevice* device) {
  device->transceiverOps = TransceiverOps{TransceiverPlaceholder<TransceiverCaps*>,
                                          TransceiverPlaceholder<BridgeHandle>,
                                          TransceiverPlaceholderSetSpeed,
                                          TransceiverPlaceholderShutdown};
}

NTSTATUS InstallTransceiverOps(IrDevice* device) {
  device->transceiverOps = TransceiverOps{TransceiverQueryCaps, TransceiverInitialize,
                                          TransceiverSetSpeed, TransceiverShutdown};
  return STATUS_SUCCESS;
}

NTSTATUS TransceiverQueryCaps(TransceiverCaps* caps) {
  *caps = kTransceiverCaps;
  return STATUS_SUCCESS;
}

NTSTATUS TransceiverInitialize(BridgeHandle bridge) {
  return TransceiverSetSpeed(bridge, kCommandSpeed, 0);
}

namespace {

// The first failure of a sequence's requests, or success: the sequence goes on to its end
// either way, so that the lines end where they would, but a step the device refused is
// reported.
NTSTATUS FirstFailure(NTSTATUS sofar, NTSTATUS next) { return NT_SUCCESS(sofar) ? next : sofar; }

}  // namespace

// The results of the line requests here are not looked at: a failed request leaves the
// transceiver where it was, and the next sequence restates both lines.
NTSTATUS TransceiverPowerOn(BridgeHandle bridge) {
  SetControlLines(bridge, FALSE, FALSE);
  NdisMSleep(kLineSettleWait);
  SetRts(bridge);
  NdisMSleep(kLineSettleWait);
  SetDtr(bridge);
  NdisMSleep(kLineSettleWait);
  return STATUS_SUCCESS;
}

NTSTATUS TransceiverSendCommand(BridgeHandle bridge, UCHAR command) {
  NTSTATUS status = SetControlLines(bridge, FALSE, TRUE);  // command state
  NdisMSleep(kCommandModeWait);
  status = FirstFailure(status, BridgeWrite(bridge, &command, 1));
  NdisMSleep(kCommandModeWait);
  status = FirstFailure(status, SetControlLines(bridge, TRUE, TRUE));  // normal state
  NdisMSleep(kCommandReturnWait);
  return status;
}

NTSTATUS TransceiverSetSpeed(BridgeHandle bridge, ULONG newSpeed, ULONG currentSpeed) {
  if (newSpeed == currentSpeed) return STATUS_SUCCESS;
  // Refused before any request, so that the link goes on at the speed it had: switching
  // the bridge to 9600 first would leave it at another rate than the transceiver.
  const SpeedCommand* command = FindSpeedCommand(newSpeed);
  if (command == nullptr) return STATUS_UNSUCCESSFUL;
  // A request the device refused may have kept the command from the transceiver: the
  // change then fails, so that the caller keeps the speed it had and the next change
  // restates every step, rather than counting a link that no longer carries frames.
  NTSTATUS status = STATUS_SUCCESS;
  if (currentSpeed != kCommandSpeed) status = SetBaudRate(bridge, kCommandSpeed);
  status = FirstFailure(status, SetControlLines(bridge, TRUE, FALSE));  // speed-change entry
  NdisMSleep(kLineSettleWait);
  status = FirstFailure(status, SetControlLines(bridge, TRUE, TRUE));
  NdisMSleep(kLineSettleWait);
  return FirstFailure(status, TransceiverSendCommand(bridge, command->command));
}

void TransceiverShutdown(BridgeHandle bridge) {
  ClearDtr(bridge);
  ClearRts(bridge);
}
