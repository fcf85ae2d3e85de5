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
  if (!NT_SUCCESS(status)) return status;                  // still in the normal state
  NdisMSleep(kCommandModeWait);
  NTSTATUS written = BridgeWrite(bridge, &command, 1);
  NdisMSleep(kCommandModeWait);
  // Back to the normal state even after a failed write, so that data pass again.
  status = SetControlLines(bridge, TRUE, TRUE);
  NdisMSleep(kCommandReturnWait);
  return NT_SUCCESS(written) ? status : written;
}

NTSTATUS TransceiverSetSpeed(BridgeHandle bridge, ULONG newSpeed, ULONG currentSpeed) {
  if (newSpeed == currentSpeed) return STATUS_SUCCESS;
  // Refused before any request, so that the link goes on at the speed it had: switching
  // the bridge to 9600 first would leave it at another rate than the transceiver.
  const SpeedCommand* command = FindSpeedCommand(newSpeed);
  if (command == nullptr) return STATUS_UNSUCCESSFUL;
  // A request of the sequence that fails (for want of memory, say) fails the change: the
  // command byte may not have gone out at 9600, or the transceiver may still be in command
  // mode, where it takes data for commands. The caller keeps currentSpeed and may retry;
  // a new sequence restates both lines.
  if (currentSpeed != kCommandSpeed) {
    NTSTATUS status = SetBaudRate(bridge, kCommandSpeed);
    if (!NT_SUCCESS(status)) return status;
  }
  NTSTATUS status = SetControlLines(bridge, TRUE, FALSE);  // speed-change entry
  NdisMSleep(kLineSettleWait);
  if (!NT_SUCCESS(status)) return status;
  status = SetControlLines(bridge, TRUE, TRUE);
  NdisMSleep(kLineSettleWait);
  if (!NT_SUCCESS(status)) return status;
  return TransceiverSendCommand(bridge, command->command);
}

void TransceiverShutdown(BridgeHandle bridge) {
  ClearDtr(bridge);
  ClearRts(bridge);
}
