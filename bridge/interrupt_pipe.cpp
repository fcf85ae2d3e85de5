// The status pipe: posting serial-state reads from the polling DPC, their completion,
// and starting and stopping the polling.
#include "bridge/interrupt_pipe.h"

#include "bridge/bulk_transfer.h"

namespace {

constexpr ULONG kStatusReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr LONGLONG kStopWait = -10'000'000;  // 1 s, relative

PVOID AllocateBridgeMemory(SIZE_T length) {
  return ExAllocatePoolWithTag(NonPagedPool, length, kBridgeTag);
}

// The completion's own work, run by the completion or, when it was handed over, by the
// canceller that held the IRP.
void FinishInterruptRead(InterruptReadBlock* block) {
  BridgeDevice* bridge = block->bridge;
  PIRP irp = block->irp;
  NTSTATUS status = irp->IoStatus.Status;
  _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = block->urb.UrbBulkOrInterruptTransfer;
  if (auto buffer = static_cast<PUCHAR>(transfer.TransferBuffer)) {
    // Only a whole notification carries the bitmap; a short one changes nothing.
    if (status == STATUS_SUCCESS && transfer.TransferBufferLength == kSerialStateLength) {
      bridge->lineStatus = static_cast<USHORT>(buffer[kSerialStateOffset] |
                                               (buffer[kSerialStateOffset + 1] << 8));
    }
    ExFreePool(buffer);
  }
  InterlockedExchange(&bridge->pollPosted, 0);
  // Renews the read after a success; after an error or a cancellation the DPC posts
  // nothing and polling stays stopped.
  KeInsertQueueDpc(&bridge->pollDpc, reinterpret_cast<PVOID>(kPollReadCompleted),
                   reinterpret_cast<PVOID>(static_cast<LONG_PTR>(status)));
  ExFreePool(block);
  IoFreeIrp(irp);
}

NTSTATUS QueuePollStart(BridgeDevice* bridge) {
  return KeInsertQueueDpc(&bridge->pollDpc, reinterpret_cast<PVOID>(kPollStart), nullptr)
             ? STATUS_SUCCESS
             : STATUS_UNSUCCESSFUL;
}

}  // namespace

NTSTATUS StartInterruptPolling(BridgeDevice* bridge) { return QueuePollStart(bridge); }

NTSTATUS ResumeInterruptPolling(BridgeDevice* bridge) { return QueuePollStart(bridge); }

void InterruptPollDpc(PKDPC, PVOID deferredContext, PVOID systemArgument1,
                      PVOID systemArgument2) {
  auto bridge = static_cast<BridgeDevice*>(deferredContext);
  auto reason = reinterpret_cast<ULONG_PTR>(systemArgument1);
  auto status = static_cast<NTSTATUS>(reinterpret_cast<LONG_PTR>(systemArgument2));
  if (reason != kPollStart && !(reason == kPollReadCompleted && status == STATUS_SUCCESS)) {
    return;
  }
  // At most one status read is ever posted: a start that finds one posted, or being
  // posted, leaves it alone.
  if (InterlockedExchange(&bridge->pollPosted, 1) != 0) return;

  auto block = static_cast<InterruptReadBlock*>(AllocateBridgeMemory(sizeof(InterruptReadBlock)));
  if (block == nullptr) {
    InterlockedExchange(&bridge->pollPosted, 0);
    return;
  }
  RtlZeroMemory(block, sizeof(InterruptReadBlock));
  auto buffer = static_cast<PUCHAR>(AllocateBridgeMemory(kSerialStateLength));
  if (buffer == nullptr) {
    ExFreePool(block);
    InterlockedExchange(&bridge->pollPosted, 0);
    return;
  }
  FillTransferUrb(&block->urb, BridgePipe(bridge, kStatusPipe), kStatusReadFlags, buffer,
                  kSerialStateLength);
  block->bridge = bridge;
  bridge->interruptRead = block;
  SubmitInterruptRead(block);
  // Once the read was passed down only its completion frees it, and that completion
  // clears interruptRead first; so the block may be looked at only while it is still
  // recorded. Recorded without an IRP means it never went down.
  if (bridge->interruptRead == block && block->irp == nullptr) {
    bridge->interruptRead = nullptr;
    ExFreePool(buffer);
    ExFreePool(block);
    InterlockedExchange(&bridge->pollPosted, 0);
  }
}

NTSTATUS SubmitInterruptRead(InterruptReadBlock* block) {
  BridgeDevice* bridge = block->bridge;
  PIRP irp = IoAllocateIrp(bridge->lowerDevice->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &block->urb;
  IoSetCompletionRoutine(irp, InterruptReadComplete, block, TRUE, TRUE, TRUE);
  block->irp = irp;
  return IofCallDriver(bridge->lowerDevice, irp);
}

NTSTATUS InterruptReadComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto block = static_cast<InterruptReadBlock*>(context);
  if (block == nullptr) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  BridgeDevice* bridge = block->bridge;
  // Cleared before the hand-over check, so that a canceller that comes later cannot find
  // this read.
  if (bridge->interruptRead == block) bridge->interruptRead = nullptr;
  if (!HandOverCompletion(&bridge->pollCancel, block)) FinishInterruptRead(block);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS StopInterruptPolling(BridgeDevice* bridge) {
  if (bridge->interruptRead == nullptr) return STATUS_UNSUCCESSFUL;
  if (EnterCancel(&bridge->pollCancel)) {
    InterruptReadBlock* block = bridge->interruptRead;
    if (block != nullptr && block->irp != nullptr) IoCancelIrp(block->irp);
    if (PVOID handedOver = LeaveCancel(&bridge->pollCancel)) {
      FinishInterruptRead(static_cast<InterruptReadBlock*>(handedOver));
    }
  }
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER wait;
  wait.QuadPart = kStopWait;
  return KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &wait);
}
