// The USB serial bridge: the BridgeDevice record, its creation with the device-descriptor
// check, configuration, start, stop and destruction, and synchronous URB submission.
//
// One BridgeDevice exists per adapter with a lower device, owned by the IrDevice through
// its BridgeHandle from CreateBridge to DestroyBridge. It owns its descriptor, its copy of
// the interface information and the requests it has in flight. The lifecycle routines and
// the control requests run at PASSIVE_LEVEL (initialization, halt, reset, the worker
// thread); bulk and interrupt completions and the polling DPC touch the transfer fields
// at DISPATCH_LEVEL. No lock guards the record: each field says who writes it.
// Line coding and control lines are in bridge/line_control.h, bulk transfers in
// bridge/bulk_transfer.h, the status pipe in bridge/interrupt_pipe.h.
#pragma once

#include "bridge/bridge_handle.h"
#include "bridge/cancel_guard.h"
#include "platform/kernel.h"
#include "platform/usb.h"

// Pool tag of every allocation of the bridge layer: "BURI" in memory.
constexpr ULONG kBridgeTag = 0x49525542;

// The interface's pipes, used by position.
constexpr ULONG kStatusPipe = 0;   // interrupt-in, serial-state notifications
constexpr ULONG kBulkOutPipe = 1;
constexpr ULONG kBulkInPipe = 2;
constexpr ULONG kBridgePipeCount = 3;

// The eight-byte data stage of the set-line-coding request, sent from the record.
struct LineCoding {
  ULONG dwDTERate;    // bits per second
  UCHAR bCharFormat;  // stop bits: 0 = one
  UCHAR bParityType;  // 0 = none
  UCHAR bDataBits;
  UCHAR reserved;     // never written; zero from creation
};
static_assert(sizeof(LineCoding) == 8);

struct InterruptReadBlock;

struct BridgeDevice {
  PDEVICE_OBJECT lowerDevice;  // every URB goes here
  BOOLEAN started;             // bulk transfers allowed; ReadOnce/WriteOnce
  PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor;  // wTotalLength bytes, owned
  PUSBD_INTERFACE_INFORMATION interfaceInfo;  // copy from the last selection, owned
  InterruptReadBlock* interruptRead;  // the status read in flight; set by the DPC, cleared
                                      // by its completion
  ULONG inCompletions;   // bulk-in completions since ClearBridgeStatus
  ULONG outCompletions;  // bulk-out completions since ClearBridgeStatus
  USHORT lineStatus;     // last serial-state bitmap
  USHORT controlLines;   // last sent: bit 0 DTR, bit 1 RTS
  KDPC pollDpc;          // posts status reads (InterruptPollDpc)
  LineCoding lineCoding; // last sent
  PIRP writeIrp;  // the asynchronous bulk-out in flight; cleared by its completion
  PIRP readIrp;   // the asynchronous bulk-in in flight; cleared by its completion

  // Cancelling the three kinds of request in flight safely against their completions.
  CancelGuard writeCancel;
  CancelGuard readCancel;
  CancelGuard pollCancel;
  LONG volatile pollPosted;  // 1 from the DPC's claim until the status read completed
  KEVENT sequenceLock;       // synchronization event: one transceiver sequence at a time
};

// Lifecycle. CreateBridge returns FailedBridge() when the device is not ours or memory
// is short; the other routines refuse null and that value.
BridgeHandle CreateBridge(PDEVICE_OBJECT lowerDevice);
BOOLEAN DestroyBridge(BridgeHandle bridge);
BOOLEAN StartBridge(BridgeHandle bridge);
BOOLEAN StopBridge(BridgeHandle bridge);
// TRUE while the bridge is started; FALSE for a refused handle.
BOOLEAN IsBridgeStarted(BridgeHandle bridge);

BOOLEAN CheckDeviceDescriptor(PDEVICE_OBJECT lowerDevice);
NTSTATUS ReadConfigurationDescriptor(BridgeDevice* bridge);
NTSTATUS SelectConfiguration(BridgeDevice* bridge);
NTSTATUS DeconfigureBridge(BridgeDevice* bridge);

// Sends the URB and waits for it, at most 3 seconds; then cancels it, waits for the
// cancellation and answers STATUS_IO_TIMEOUT. Otherwise answers the request's own final
// status. The URB stays the caller's.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT lowerDevice, PURB urb);
// The same, with the request's final status and information in the caller's block.
NTSTATUS SubmitUrbSyncStatus(PDEVICE_OBJECT lowerDevice, PURB urb, PIO_STATUS_BLOCK ioStatus);

// Holds off every other transceiver sequence (speed change, raw exchange) on this bridge
// until EndTransceiverSequence. Not recursive. PASSIVE_LEVEL. Unusable handles pass.
void BeginTransceiverSequence(BridgeHandle bridge);
void EndTransceiverSequence(BridgeHandle bridge);

// The handle of pipe `index` of the selected interface, or null before a selection.
USBD_PIPE_HANDLE BridgePipe(const BridgeDevice* bridge, ULONG index);
