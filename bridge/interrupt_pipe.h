// The bridge's interrupt-in status pipe: one ten-byte serial-state read kept posted while
// the bridge is started, renewed from a DPC after each successful completion, and the
// last bitmap kept in lineStatus. The DPC and the completion run at DISPATCH_LEVEL,
// start and stop at PASSIVE_LEVEL.
#pragma once

#include "bridge/bridge_device.h"

constexpr ULONG kSerialStateLength = 10;
constexpr ULONG kSerialStateOffset = 8;  // of the 16-bit bitmap in the notification

// One per posted read; allocated by the DPC, freed by the read's completion.
struct InterruptReadBlock {
  URB urb;  // first: the block's address is the URB's
  PIRP irp;
  BridgeDevice* bridge;
};

// The DPC's first argument: why it runs.
enum PollReason : ULONG_PTR { kPollStart = 1, kPollReadCompleted = 2 };

NTSTATUS StartInterruptPolling(BridgeDevice* bridge);
NTSTATUS ResumeInterruptPolling(BridgeDevice* bridge);
// Cancels the read in flight and waits one second; STATUS_UNSUCCESSFUL at once when none.
NTSTATUS StopInterruptPolling(BridgeDevice* bridge);

void InterruptPollDpc(PKDPC dpc, PVOID deferredContext, PVOID systemArgument1,
                      PVOID systemArgument2);
NTSTATUS SubmitInterruptRead(InterruptReadBlock* block);
NTSTATUS InterruptReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
