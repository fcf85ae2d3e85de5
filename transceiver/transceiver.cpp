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

// The outcome of a sequence of requests: the first failure among them, or success. A
// request the device left unanswered for the whole time-out ends the sequence, since each
// further request would wait as long again; a refused one does not, so that the lines
// still end where they would.
struct Sequence {
  NTSTATUS status = STATUS_SUCCESS;

  // Records one request's result; false when the device has stopped answering.
  bool Step(NTSTATUS result) {
    if (NT_SUCCESS(status)) status = result;
    return result != STATUS_IO_TIMEOUT;
  }
};

}  // namespace

// The results of the line requests here are not reported: a refused request leaves the
// transceiver where it was, and the next sequence restates both lines.
NTSTATUS TransceiverPowerOn(BridgeHandle bridge) {
  Sequence sequence;
  if (!sequence.Step(SetControlLines(bridge, FALSE, FALSE))) return STATUS_SUCCESS;
  NdisMSleep(kLineSettleWait);
  if (!sequence.Step(SetRts(bridge))) return STATUS_SUCCESS;
  NdisMSleep(kLineSettleWait);
  if (!sequence.Step(SetDtr(bridge))) return STATUS_SUCCESS;
  NdisMSleep(kLineSettleWait);
  return STATUS_SUCCESS;
}

NTSTATUS TransceiverSendCommand(BridgeHandle bridge, UCHAR command) {
  // Refused, the command state leaves the lines in the normal state: the byte would go out
  // as data, so nothing more is sent.
  Sequence sequence;
  sequence.Step(SetControlLines(bridge, FALSE, TRUE));  // command state
  if (!NT_SUCCESS(sequence.status)) return sequence.status;
  NdisMSleep(kCommandModeWait);
  if (!sequence.Step(BridgeWrite(bridge, &command, 1))) return sequence.status;
  NdisMSleep(kCommandModeWait);
  if (!sequence.Step(SetControlLines(bridge, TRUE, TRUE))) return sequence.status;  // normal state
  NdisMSleep(kCommandReturnWait);
  return sequence.status;
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
  Sequence sequence;
  if (currentSpeed != kCommandSpeed && !sequence.Step(SetBaudRate(bridge, kCommandSpeed))) {
    return sequence.status;
  }
  if (!sequence.Step(SetControlLines(bridge, TRUE, FALSE))) return sequence.status;  // entry
  NdisMSleep(kLineSettleWait);
  if (!sequence.Step(SetControlLines(bridge, TRUE, TRUE))) return sequence.status;
  NdisMSleep(kLineSettleWait);
  sequence.Step(TransceiverSendCommand(bridge, command->command));
  return sequence.status;
}

void TransceiverShutdown(BridgeHandle bridge) {
  Sequence sequence;
  if (sequence.Step(ClearDtr(bridge))) ClearRts(bridge);
}
