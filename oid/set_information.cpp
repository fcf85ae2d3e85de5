// Settings from NDIS and the IrDA protocol.
#include "oid/set_information.h"

#include "bridge/bulk_transfer.h"
#include "bridge/interrupt_pipe.h"
#include "bridge/line_control.h"
#include "platform/access_once.h"
#include "receive/read_loop.h"
#include "transceiver/transceiver.h"

namespace {

constexpr ULONG kPowerUpAttempts = 3;
constexpr ULONG kPowerUpRetryWait = 20000;  // microseconds

NDIS_STATUS SetLinkSpeed(IrDevice* device, ULONG speed, PULONG bytesRead) {
  const SpeedTableRow* row = FindSpeedRow(speed);
  if (speed == device->currentSpeed) {
    // The link is there already. The request is now the target, so that a speed refused
    // earlier no longer stands as one: a reset would otherwise try to reach it again.
    if (row != nullptr) device->targetSpeed = row;
    return NDIS_STATUS_SUCCESS;
  }
  if (row == nullptr) {
    *bytesRead = 0;
    return NDIS_STATUS_INVALID_DATA;
  }
  const SpeedTableRow* previous = device->targetSpeed;
  device->targetSpeed = row;
  if (device->lowerDevice == nullptr) {
    device->currentSpeed = speed;
    return NDIS_STATUS_SUCCESS;
  }
  if (NT_SUCCESS(QueueWorkItem(SetLinkSpeedWork, device, SetSpeedWorker, nullptr, 0))) {
    return NDIS_STATUS_PENDING;
  }
  // Nothing will move the link: say so, and leave the target where it was.
  device->targetSpeed = previous;
  return NDIS_STATUS_RESOURCES;
}

}  // namespace

NDIS_STATUS MiniportSetInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                   PVOID informationBuffer, ULONG informationBufferLength,
                                   PULONG bytesRead, PULONG bytesNeeded) {
  auto* device = static_cast<IrDevice*>(miniportAdapterContext);
  if (informationBufferLength < sizeof(ULONG)) {
    *bytesRead = 0;
    *bytesNeeded = sizeof(ULONG);
    return NDIS_STATUS_INVALID_LENGTH;
  }
  ULONG value = 0;
  RtlCopyMemory(&value, informationBuffer, sizeof value);
  *bytesRead = sizeof(ULONG);
  *bytesNeeded = 0;

  switch (oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_GEN_PROTOCOL_OPTIONS:
    case OID_PNP_CAPABILITIES:
    case OID_PNP_QUERY_POWER:
    case OID_PNP_ENABLE_WAKE_UP:
      return NDIS_STATUS_SUCCESS;
    case OID_IRDA_LINK_SPEED:
      return SetLinkSpeed(device, value, bytesRead);
    case OID_IRDA_MEDIA_BUSY:
      WriteOnce(device->mediaBusy, *static_cast<PUCHAR>(informationBuffer));
      if (device->lowerDevice != nullptr) return ClearBridgeStatus(device->bridge);
      return NDIS_STATUS_SUCCESS;
    case OID_IRDA_RATE_SNIFF:
    case OID_IRDA_UNICAST_LIST:
      *bytesRead = 0;
      return NDIS_STATUS_NOT_SUPPORTED;
    case OID_PNP_SET_POWER:
      *bytesRead = 0;
      if (value == NdisDeviceStateD3) IrPowerDown(device);  // results are not reported
      if (value == NdisDeviceStateD0) IrPowerUp(device);
      return NDIS_STATUS_SUCCESS;
    default:
      *bytesRead = 0;
      return NDIS_STATUS_INVALID_OID;
  }
}

NTSTATUS SetSpeedWorker(WorkItem* item) {
  IrDevice* device = item->device;
  NTSTATUS status = IrSetLinkSpeed(device);
  NdisMSetInformationComplete(device->miniportHandle, status);
  FreeWorkItem(item);
  return status;
}

NTSTATUS IrPowerDown(IrDevice* device) {
  if (!device->managesPower) return STATUS_SUCCESS;
  WriteOnce(device->deviceError, UCHAR{1});
  CancelBulkTransfers(device->bridge);
  // Without a usable bridge there is no polling to stop.
  if (!IsUsableBridge(device->bridge)) return STATUS_INVALID_PARAMETER;
  return StopInterruptPolling(device->bridge);
}

NTSTATUS IrPowerUp(IrDevice* device) {
  if (!device->managesPower) return STATUS_SUCCESS;
  WriteOnce(device->deviceError, UCHAR{0});
  if (IsUsableBridge(device->bridge)) ResumeInterruptPolling(device->bridge);
  // Power on, the speed commanded from a speed not yet set and the bridge at it, as one
  // transceiver sequence: a raw exchange on the worker thread may drive the same lines.
  // Nobody hears of a failed power-up (the power request is answered with success) and a
  // link left down stays down, so a failed step is tried again a few times: memory or the
  // bus may be short only for a moment. A second start finds the first read outstanding.
  NDIS_STATUS receiving = NDIS_STATUS_FAILURE;
  for (ULONG attempt = 0; attempt < kPowerUpAttempts; ++attempt) {
    if (attempt > 0) NdisMSleep(kPowerUpRetryWait);
    NTSTATUS link = RestoreLinkSpeed(device);
    receiving = IrStartReceive(device);
    if ((NT_SUCCESS(link) && receiving == NDIS_STATUS_SUCCESS) || !IsUsableBridge(device->bridge)) {
      break;
    }
  }
  return receiving;
}
