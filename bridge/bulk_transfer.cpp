// Synchronous and asynchronous bulk transfers, their completion and their cancellation.
#include "bridge/bulk_transfer.h"

#include "platform/access_once.h"

namespace {

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

PURB AllocateTransferUrb() {
  return static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kBridgeTag));
}

bool IsRead(const URB* urb) {
  return (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
}

NTSTATUS StartBulkTransfer(BridgeHandle bridge, ULONG pipe, ULONG flags, PVOID buffer,
                           ULONG length, PIO_COMPLETION_ROUTINE handler, PVOID handlerContext,
                           BulkStatusBlock* ioStatus) {
  if (!IsUsableBridge(bridge)) return STATUS_INVALID_PARAMETER;
  PURB urb = AllocateTransferUrb();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (!ReadOnce(bridge->started)) {
    ExFreePool(urb);
    return STATUS_UNSUCCESSFUL;
  }
  FillTransferUrb(urb, BridgePipe(bridge, pipe), flags, buffer, length);
  return SubmitBulkAsync(bridge, urb, handler, handlerContext, ioStatus);
}

// The completion's own work, run by the completion or, when it was handed over, by the
// canceller that held the IRP.
NTSTATUS FinishBulkTransfer(BulkTransferContext* transfer) {
  PIRP irp = transfer->irp;
  BridgeDevice* bridge = transfer->bridge;
  ULONG transferred = transfer->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (transfer->ioStatus != nullptr) {
    transfer->ioStatus->status = static_cast<ULONG>(irp->IoStatus.Status);
    transfer->ioStatus->information = transferred;
    irp->IoStatus.Information = transferred;
  }
  if (IsRead(transfer->urb)) {
    ++bridge->inCompletions;
  } else {
    ++bridge->outCompletions;
  }
  NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;
  if (transfer->handler != nullptr) {
    result = transfer->handler(transfer->deviceObject, irp, transfer->handlerContext);
  } else {
    IoFreeIrp(irp);
  }
  ExFreePool(transfer->urb);
  ExFreePool(transfer);
  return result;
}

// Cancels the transfer recorded in *record, if any, holding the guard so that its
// completion cannot free the IRP before IoCancelIrp has seen it.
void CancelTransfer(PIRP* record, CancelGuard* guard) {
  if (!EnterCancel(guard)) return;  // another canceller is at work on it
  PIRP irp = *record;
  if (irp != nullptr) {
    IoCancelIrp(irp);
    if (*record == irp) *record = nullptr;
  }
  if (PVOID handedOver = LeaveCancel(guard)) {
    FinishBulkTransfer(static_cast<BulkTransferContext*>(handedOver));
  }
}

}  // namespace

void FillTransferUrb(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipe;
  transfer.TransferFlags = flags;
  transfer.TransferBuffer = buffer;
  transfer.TransferBufferLength = length;
}

NTSTATUS BridgeWrite(BridgeHandle bridge, const void* data, ULONG length) {
  if (!IsUsableBridge(bridge)) return STATUS_INVALID_PARAMETER;
  // Before the first configuration there is no pipe to write to.
  USBD_PIPE_HANDLE pipe = BridgePipe(bridge, kBulkOutPipe);
  if (pipe == nullptr) return STATUS_UNSUCCESSFUL;
  PURB urb = AllocateTransferUrb();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  FillTransferUrb(urb, pipe, 0, const_cast<void*>(data), length);
  IO_STATUS_BLOCK ioStatus;
  SubmitUrbSyncStatus(bridge->lowerDevice, urb, &ioStatus);
  ExFreePool(urb);
  return ioStatus.Status;
}

NTSTATUS BulkWriteAsync(BridgeHandle bridge, const void* data, ULONG length,
                        PIO_COMPLETION_ROUTINE handler, PVOID handlerContext,
                        BulkStatusBlock* ioStatus) {
  return StartBulkTransfer(bridge, kBulkOutPipe, 0, const_cast<void*>(data), length, handler,
                           handlerContext, ioStatus);
}

NTSTATUS BulkReadAsync(BridgeHandle bridge, PVOID buffer, ULONG length,
                       PIO_COMPLETION_ROUTINE handler, PVOID handlerContext,
                       BulkStatusBlock* ioStatus) {
  return StartBulkTransfer(bridge, kBulkInPipe, kReadFlags, buffer, length, handler,
                           handlerContext, ioStatus);
}

NTSTATUS SubmitBulkAsync(BridgeDevice* bridge, PURB urb, PIO_COMPLETION_ROUTINE handler,
                         PVOID handlerContext, BulkStatusBlock* ioStatus) {
  auto transfer = static_cast<BulkTransferContext*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(BulkTransferContext), kBridgeTag));
  if (transfer == nullptr) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIRP irp = IoAllocateIrp(bridge->lowerDevice->StackSize, FALSE);
  if (irp == nullptr) {
    ExFreePool(transfer);
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *transfer = BulkTransferContext{urb, handler, handlerContext, ioStatus, bridge, nullptr, irp};
  if (IsRead(urb)) {
    bridge->readIrp = irp;
  } else {
    bridge->writeIrp = irp;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, BulkTransferComplete, transfer, TRUE, TRUE, TRUE);
  // From here on the IRP, the context and the URB belong to the completion.
  return IofCallDriver(bridge->lowerDevice, irp);
}

NTSTATUS BulkTransferComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  auto transfer = static_cast<BulkTransferContext*>(context);
  if (transfer == nullptr) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  BridgeDevice* bridge = transfer->bridge;
  // The record is cleared before the handler runs, so that a transfer the handler starts
  // is recorded; and before the hand-over check, so that a canceller that comes later
  // cannot find this IRP.
  bool read = IsRead(transfer->urb);
  PIRP* record = read ? &bridge->readIrp : &bridge->writeIrp;
  if (*record == irp) *record = nullptr;
  transfer->deviceObject = deviceObject;
  transfer->irp = irp;
  if (HandOverCompletion(read ? &bridge->readCancel : &bridge->writeCancel, transfer)) {
    return STATUS_MORE_PROCESSING_REQUIRED;  // the canceller finishes it
  }
  return FinishBulkTransfer(transfer);
}

NTSTATUS CancelBulkTransfers(BridgeHandle bridge) {
  if (!IsUsableBridge(bridge)) return STATUS_INVALID_PARAMETER;
  CancelTransfer(&bridge->writeIrp, &bridge->writeCancel);
  CancelTransfer(&bridge->readIrp, &bridge->readCancel);
  return STATUS_SUCCESS;
}
