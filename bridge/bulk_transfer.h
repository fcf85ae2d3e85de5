// Bulk transfers on the bridge's two bulk pipes: the synchronous write for short control
// traffic (PASSIVE_LEVEL), the asynchronous write and read that the send path and the
// receive loop keep running (up to DISPATCH_LEVEL), their completion, and cancelling
// what is in flight (PASSIVE_LEVEL).
//
// An asynchronous transfer belongs to its completion from the moment it is passed down:
// BulkTransferComplete counts it, clears the bridge's record of it, fills the caller's
// status block and calls the caller's handler, which owns the IRP (frees it with
// IoFreeIrp and returns STATUS_MORE_PROCESSING_REQUIRED).
#pragma once

#include "bridge/bridge_device.h"

// One per asynchronous transfer, from its submission to its completion.
struct BulkTransferContext {
  PURB urb;
  PIO_COMPLETION_ROUTINE handler;  // or null
  PVOID handlerContext;
  BulkStatusBlock* ioStatus;       // or null
  BridgeDevice* bridge;
  // Kept for a completion that is handed over to a canceller and finished later.
  PDEVICE_OBJECT deviceObject;
  PIRP irp;
};

NTSTATUS BridgeWrite(BridgeHandle bridge, const void* data, ULONG length);

NTSTATUS BulkWriteAsync(BridgeHandle bridge, const void* data, ULONG length,
                        PIO_COMPLETION_ROUTINE handler, PVOID handlerContext,
                        BulkStatusBlock* ioStatus);
NTSTATUS BulkReadAsync(BridgeHandle bridge, PVOID buffer, ULONG length,
                       PIO_COMPLETION_ROUTINE handler, PVOID handlerContext,
                       BulkStatusBlock* ioStatus);
// Passes a filled transfer URB down with its context; frees the URB when it cannot.
NTSTATUS SubmitBulkAsync(BridgeDevice* bridge, PURB urb, PIO_COMPLETION_ROUTINE handler,
                         PVOID handlerContext, BulkStatusBlock* ioStatus);
NTSTATUS BulkTransferComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

NTSTATUS CancelBulkTransfers(BridgeHandle bridge);

// Fills a bulk-or-interrupt transfer URB (shared with the status pipe's reads).
void FillTransferUrb(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length);
