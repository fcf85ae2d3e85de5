// Adapter initialization and halt.
#include "miniport/adapter.h"

#include "bridge/bridge_device.h"
#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "control/device_control.h"
#include "miniport/work_item.h"
#include "oid/configuration.h"
#include "platform/access_once.h"
#include "receive/read_loop.h"
#include "receive/rx_pool.h"
#include "transceiver/transceiver.h"
#include "transmit/send.h"

namespace {

constexpr ULONG kTransferPollMicroseconds = 20'000;
constexpr ULONG kThreadPollMicroseconds = 50'000;
constexpr ULONG kLastTransferPoll = 500;  // sleeps 0 to 500: about ten seconds

// Ends the worker thread: signals it and polls until its last act has cleared the handle.
void StopWorkerThread(IrDevice* device) {
  HANDLE thread = ReadOnce(device->workerThreadHandle);
  if (thread == nullptr) return;
  KeSetEvent(&device->stopEvent, 0, FALSE);
  while (ReadOnce(device->workerThreadHandle) != nullptr) NdisMSleep(kThreadPollMicroseconds);
  ZwClose(thread);
}


// Undoes a partly completed initialization; the record is freed and never listed.
NDIS_STATUS FailInitialization(IrDevice* device, NDIS_STATUS status) {
  StopWorkerThread(device);
  if (device->lowerDevice != nullptr) {
    // A read or write may have been posted before the failing step.
    CancelBulkTransfers(device->bridge);
    WriteOnce(device->halting, UCHAR{1});
    WaitForTransfers(device, /*reportTimeout=*/true);
    TransceiverShutdown(device->bridge);
    CloseBridge(device);
  }
  ReleaseResources(device);
  DestroyBridge(device->bridge);
  NdisFreeMemory(device, sizeof(IrDevice), 0);
  return status;
}

bool ManagesPower() {
  // Systems from WDM 1.05 on power the device themselves.
  return !IoIsWdmVersionAvailable(1, 0x10) && !IoIsWdmVersionAvailable(1, 0x05);
}

}  // namespace

bool WaitForTransfers(IrDevice* device, bool reportTimeout) {
  for (ULONG sleeps = 0; ReadOnce(device->nowSending) || ReadOnce(device->nowReceiving);
       ++sleeps) {
    // A transfer posted after the caller's cancel (a re-post on its way, a send that
    // started meanwhile) is cancelled too, so that the wait ends with its completion.
    CancelBulkTransfers(device->bridge);
    NdisMSleep(kTransferPollMicroseconds);
    if (sleeps == kLastTransferPoll) {
      if (reportTimeout) {
        DbgPrint(" MiniportHalt:TIME OUT!!! pIrDevice->nowSending[%x],pIrDevice->nowReceiving[%x]\n\r",
                 ReadOnce(device->nowSending), ReadOnce(device->nowReceiving));
      }
      WriteOnce(device->nowSending, UCHAR{0});
      WriteOnce(device->nowReceiving, UCHAR{0});
      return false;
    }
  }
  return true;
}

NDIS_STATUS SetupResources(IrDevice* device) {
  device->lowerDevice = nullptr;
  device->targetSpeed = kSpeed9600;
  device->currentSpeed = 0;
  device->packetsReceived = device->packetsDropped = device->rxOverflows = 0;
  device->txOkCount = device->txErrorCount = 0;
  device->nowReceiving = device->nowSending = 0;
  device->applyTurnaround = 1;
  device->halting = device->deviceError = device->resetting = 0;
  device->managesPower = ManagesPower() ? 1 : 0;
  KeInitializeSpinLock(&device->workLock);
  InitializeListHead(&device->workQueue);

  NDIS_STATUS status = SetupReceivePool(device);
  if (status == NDIS_STATUS_SUCCESS) status = SetupTransmit(device);
  if (status != NDIS_STATUS_SUCCESS) ReleaseResources(device);
  return status;
}

void ReleaseResources(IrDevice* device) {
  device->targetSpeed = nullptr;
  ReleaseReceivePool(device);
  ReleaseTransmit(device);
  device->mediaBusy = 0;
}

NDIS_STATUS OpenBridge(IrDevice* device) {
  return StartBridge(device->bridge) ? NDIS_STATUS_SUCCESS : NDIS_STATUS_OPEN_FAILED;
}

NDIS_STATUS CloseBridge(IrDevice* device) {
  if (device->lowerDevice != nullptr) StopBridge(device->bridge);
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS MiniportInitialize(PNDIS_STATUS /*openErrorStatus*/, PUINT selectedMediumIndex,
                               PNDIS_MEDIUM mediumArray, UINT mediumArraySize,
                               NDIS_HANDLE miniportAdapterHandle,
                               NDIS_HANDLE wrapperConfigurationContext) {
  UINT medium = 0;
  while (medium < mediumArraySize && mediumArray[medium] != NdisMediumIrda) ++medium;
  if (medium == mediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
  *selectedMediumIndex = medium;

  PVOID memory = nullptr;
  if (NdisAllocateMemoryWithTag(&memory, sizeof(IrDevice), kDriverTag) != NDIS_STATUS_SUCCESS) {
    return NDIS_STATUS_RESOURCES;
  }
  RtlZeroMemory(memory, sizeof(IrDevice));
  auto* device = static_cast<IrDevice*>(memory);
  InstallPlaceholderTransceiverOps(device);

  NDIS_STATUS status = SetupResources(device);
  if (status != NDIS_STATUS_SUCCESS) return FailInitialization(device, status);
  device->miniportHandle = miniportAdapterHandle;
  NdisMSetAttributesEx(miniportAdapterHandle, device, 0,
                       NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT | NDIS_ATTRIBUTE_DESERIALIZE |
                           NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND,
                       NdisInterfaceInternal);
  KeInitializeEvent(&device->workEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&device->stopEvent, SynchronizationEvent, FALSE);
  status = PsCreateSystemThread(&device->workerThreadHandle, 0, nullptr, nullptr, nullptr,
                                WorkerThread, device);
  if (!NT_SUCCESS(status)) {
    device->workerThreadHandle = nullptr;
    return FailInitialization(device, status);
  }
  if (ReadConfiguration(device, wrapperConfigurationContext) != NDIS_STATUS_SUCCESS) {
    return FailInitialization(device, NDIS_STATUS_ADAPTER_NOT_FOUND);
  }
  NdisMGetDeviceProperty(miniportAdapterHandle, nullptr, nullptr, &device->lowerDevice, nullptr,
                         nullptr);
  PDEVICE_OBJECT lower = device->lowerDevice;
  if (lower != nullptr) device->bridge = CreateBridge(lower);
  OpenBridge(device);  // not consulted: a bridge that did not start refuses the transfers
  if (lower != nullptr) {
    SetBaudRate(device->bridge, 9600);  // not consulted; the format request decides
    status = SetLineFormat(device->bridge, 0, 0, 8);
    if (!NT_SUCCESS(status)) return FailInitialization(device, status);
  }
  InstallTransceiverOps(device);
  if (lower != nullptr && !NT_SUCCESS(TransceiverInitialize(device->bridge))) {
    return FailInitialization(device, NDIS_STATUS_FAILURE);
  }
  TransceiverQueryCaps(&device->transceiverCaps);
  if (lower != nullptr) {
    TransceiverPowerOn(device->bridge);
    status = IrSetLinkSpeed(device);
    if (!NT_SUCCESS(status)) return FailInitialization(device, status);
    status = IrStartReceive(device);
    if (status != NDIS_STATUS_SUCCESS) return FailInitialization(device, status);
    currentAdapter = device;
  }
  ExfInterlockedInsertTailList(&adapterList, &device->listLink, &adapterListLock);
  return NDIS_STATUS_SUCCESS;
}

void MiniportHalt(NDIS_HANDLE miniportAdapterContext) {
  auto* device = static_cast<IrDevice*>(miniportAdapterContext);
  DetachFromDeviceControl(device);
  WriteOnce(device->halting, UCHAR{1});
  CancelBulkTransfers(device->bridge);
  WaitForTransfers(device, /*reportTimeout=*/true);
  TransceiverShutdown(device->bridge);
  CloseBridge(device);
  StopWorkerThread(device);
  // A work item that was running when the halt began may have posted a transfer after
  // the wait above; none may be outstanding when the record goes.
  CancelBulkTransfers(device->bridge);
  WaitForTransfers(device, /*reportTimeout=*/true);
  ReleaseResources(device);
  KIRQL irql = KfAcquireSpinLock(&adapterListLock);
  RemoveEntryList(&device->listLink);
  KfReleaseSpinLock(&adapterListLock, irql);
  DestroyBridge(device->bridge);
  NdisFreeMemory(device, sizeof(IrDevice), 0);
}
