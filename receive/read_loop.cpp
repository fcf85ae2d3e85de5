// The receive read loop.
#include "receive/read_loop.h"

#include "bridge/bulk_transfer.h"
#include "bridge/bridge_device.h"
#include "platform/access_once.h"
#include "sir/sir_decoder.h"
#include "transceiver/transceiver.h"

namespace {

bool IsDeviceError(NTSTATUS status) {
  return status == STATUS_DEVICE_POWERED_OFF || status == STATUS_DEVICE_NOT_CONNECTED ||
         status == STATUS_DEVICE_DATA_ERROR;
}

// Hands the read's bytes to the raw exchange while it captures: as many as it still
// wants, in order; the rest are dropped.
void CaptureBytes(IrDevice* device, const UCHAR* bytes, ULONG count) {
  for (ULONG i = 0; i < count && device->captureRemaining > 0; ++i) {
    *device->captureCursor++ = bytes[i];
    --device->captureRemaining;
  }
  if (device->captureRemaining == 0) KeSetEvent(&device->captureEvent, 0, FALSE);
}

// PostReceive's work; *posted tells whether the read reached the bus (or one was already
// outstanding), so that its completion will carry the loop on.
NTSTATUS PostRead(IrDevice* device, bool* posted) {
  *posted = true;
  if (InterlockedExchange(&device->readPending, 1) != 0) return STATUS_PENDING;
  WriteOnce(device->nowReceiving, UCHAR{1});
  // A result other than STATUS_PENDING means either that the read completed within the
  // call (ReceiveComplete ran) or that it never reached the bus.
  ULONG completionsBefore = ReadOnce(device->readCompletions);
  NTSTATUS status = BulkReadAsync(device->bridge, device->readBuffer, kReadBufferSize,
                                  ReceiveComplete, device, &device->readIoStatus);
  if (status != STATUS_PENDING && ReadOnce(device->readCompletions) == completionsBefore) {
    *posted = false;
    InterlockedExchange(&device->readPending, 0);
    WriteOnce(device->nowReceiving, UCHAR{0});
  }
  return status;
}

}  // namespace

NTSTATUS PostReceive(IrDevice* device) {
  bool posted = false;
  return PostRead(device, &posted);
}

NDIS_STATUS IrStartReceive(IrDevice* device) {
  device->rxState = Hunt;
  device->rxFrameLength = 0;
  if (device->rxCurrent == nullptr) {
    PLIST_ENTRY entry = ExfInterlockedRemoveHeadList(&device->rxFreeList, &device->rxLock);
    device->rxCurrent = entry == nullptr ? nullptr : CONTAINING_RECORD(entry, RxBuffer, links);
  }
  NTSTATUS status = PostReceive(device);
  if (status == STATUS_PENDING || status == STATUS_TIMEOUT || status == STATUS_SUCCESS) {
    return NDIS_STATUS_SUCCESS;
  }
  return NDIS_STATUS_FAILURE;
}

NTSTATUS ReceiveComplete(PDEVICE_OBJECT /*deviceObject*/, PIRP irp, PVOID context) {
  auto* device = static_cast<IrDevice*>(context);
  WriteOnce(device->readCompletions, ReadOnce(device->readCompletions) + 1);
  InterlockedExchange(&device->readPending, 0);

  NTSTATUS status = irp->IoStatus.Status;
  ULONG count = static_cast<ULONG>(irp->IoStatus.Information);
  if (count > kReadBufferSize) count = kReadBufferSize;  // never past the buffer
  if (IsDeviceError(status)) WriteOnce(device->deviceError, UCHAR{1});
  if (ReadOnce(device->halting) || ReadOnce(device->resetting) || ReadOnce(device->deviceError)) {
    WriteOnce(device->nowReceiving, UCHAR{0});
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (status == STATUS_DELETE_PENDING) {
    // The device is going away: the loop ends here, and no read is left for a halt to
    // wait for.
    WriteOnce(device->nowReceiving, UCHAR{0});
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if ((status == STATUS_SUCCESS || status == STATUS_TIMEOUT) && count > 0) {
    if (ReadOnce(device->captureMode)) {
      CaptureBytes(device, device->readBuffer, count);
    } else {
      WriteOnce(device->applyTurnaround, UCHAR{1});
      SirDecodeBytes(device, device->readBuffer, count);
    }
  }
  IoFreeIrp(irp);

  // A read that completes inside the re-post of another completion hands its own re-post
  // to the worker thread instead of nesting deeper.
  if (InterlockedIncrement(&device->readCompletionDepth) <= 1) {
    // A re-post that found no memory would end the loop for good, and the adapter would
    // never receive again: the worker thread tries once more (if even that cannot be
    // queued, the loop stays stopped with nothing outstanding).
    bool posted = false;
    if (PostRead(device, &posted) == STATUS_INSUFFICIENT_RESOURCES && !posted) {
      QueueWorkItem(RestartReceiveWork, device, RestartReceive, nullptr, 0);
    }
  } else if (!NT_SUCCESS(QueueWorkItem(RestartReceiveWork, device, RestartReceive, nullptr, 0))) {
    WriteOnce(device->nowReceiving, UCHAR{0});  // the loop has stopped; nothing to wait for
  }
  InterlockedDecrement(&device->readCompletionDepth);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS RestartReceive(WorkItem* item) {
  IrDevice* device = item->device;
  FreeWorkItem(item);
  if (ReadOnce(device->halting)) {
    // The halt has cancelled the transfers and is stopping the bridge: the loop stays
    // stopped. Unless a read is still on its way to its completion, nothing is left for
    // the halt to wait for.
    if (InterlockedCompareExchange(&device->readPending, 0, 0) == 0) {
      WriteOnce(device->nowReceiving, UCHAR{0});
    }
    return STATUS_UNSUCCESSFUL;
  }
  if (ReadOnce(device->deviceError)) {
    WriteOnce(device->deviceError, UCHAR{0});
    // Results ignored: a device that is still gone fails the read below.
    StopBridge(device->bridge);
    StartBridge(device->bridge);
    RestoreLinkSpeed(device);
  }
  return PostReceive(device);
}
