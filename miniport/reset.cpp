// Reset, on the worker thread at PASSIVE_LEVEL (MiniportReset itself never blocks).
#include "miniport/reset.h"

#include "bridge/bridge_device.h"
#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "miniport/adapter.h"
#include "platform/access_once.h"
#include "receive/read_loop.h"
#include "transceiver/transceiver.h"
#include "transmit/send.h"

NDIS_STATUS MiniportReset(PBOOLEAN addressingReset, NDIS_HANDLE miniportAdapterContext) {
  auto* device = static_cast<IrDevice*>(miniportAdapterContext);
  WriteOnce(device->resetting, UCHAR{1});
  device->sendLockIrql = KfAcquireSpinLock(&device->sendLock);
  WriteOnce(device->holdingSends, UCHAR{1});
  KfReleaseSpinLock(&device->sendLock, device->sendLockIrql);
  *addressingReset = TRUE;
  if (NT_SUCCESS(QueueWorkItem(ResetWork, device, ResetWorker, nullptr, 0))) {
    return NDIS_STATUS_PENDING;
  }
  // The adapter goes on as it was, but it was not reset: say so.
  WriteOnce(device->resetting, UCHAR{0});
  ResumeHeldSends(device);
  return NDIS_STATUS_RESOURCES;
}

NDIS_STATUS IrReinitialize(IrDevice* device) {
  if (device->lowerDevice != nullptr) {
    CancelBulkTransfers(device->bridge);
    bool drained = WaitForTransfers(device, /*reportTimeout=*/false);
    // A write whose completion came during the reset left its packet current and the
    // queue behind it: fail them all, so that sending starts afresh. After a time-out the
    // write may still complete; its completion then finishes the packet itself.
    if (drained) FailHeldSends(device);
    TransceiverShutdown(device->bridge);
  }
  WriteOnce(device->resetting, UCHAR{0});
  NDIS_STATUS status;
  // Without a lower device there is no bridge to start, and the reset fails here. With one,
  // the bridge is normally still started; a receive restart whose device refused the
  // configuration left it stopped, and only starting it again brings the transfers back.
  if (device->lowerDevice == nullptr || !IsBridgeStarted(device->bridge)) {
    status = OpenBridge(device);
    if (status != NDIS_STATUS_SUCCESS) return status;
  }
  if (device->lowerDevice != nullptr) {
    SetBaudRate(device->bridge, 9600);  // not consulted; the format request decides
    status = SetLineFormat(device->bridge, 0, 0, 8);
    if (!NT_SUCCESS(status)) return status;
  }
  InstallTransceiverOps(device);
  device->transceiverOps.QueryCaps(&device->transceiverCaps);
  // The shutdown above left both lines off: bring the transceiver back at the speed the link
  // had before moving it to the target, so that the link works whether or not the speed
  // changes. A link that could not be brought back fails the reset, so that NDIS may try
  // again, rather than leaving the transceiver off or in command mode.
  status = RestoreLinkSpeed(device);
  if (!NT_SUCCESS(status)) return status;
  // A target the transceiver refused earlier would fail the reset again and leave the
  // link down: the reset aims at the speed the link runs at instead.
  if (device->targetSpeed != nullptr &&
      FindSpeedCommand(device->targetSpeed->bitsPerSecond) == nullptr &&
      FindSpeedRow(device->currentSpeed) != nullptr) {
    device->targetSpeed = FindSpeedRow(device->currentSpeed);
  }
  status = IrSetLinkSpeed(device);
  if (!NT_SUCCESS(status)) return status;
  status = SetLineFormat(device->bridge, 0, 0, 8);
  if (!NT_SUCCESS(status)) return status;
  if (IrStartReceive(device) != NDIS_STATUS_SUCCESS) return NDIS_STATUS_FAILURE;
  return NDIS_STATUS_SUCCESS;
}

NTSTATUS ResetWorker(WorkItem* item) {
  IrDevice* device = item->device;
  NDIS_STATUS status = IrReinitialize(device);
  ResumeHeldSends(device);  // the link is rebuilt (or the reset gave up on it)
  if (status != NDIS_STATUS_SUCCESS) {
    NdisWriteErrorLogEntry(device->miniportHandle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 1, status);
    status = NDIS_STATUS_HARD_ERRORS;
  }
  NdisMResetComplete(device->miniportHandle, status, TRUE);
  FreeWorkItem(item);
  return status;
}
