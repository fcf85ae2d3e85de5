// The driver's entry point: registers the NDIS 5.0 miniport and takes over the create,
// close and device-control entries for the private interface. PASSIVE_LEVEL, once.
#include "miniport/driver_entry.h"

#include "control/device_control.h"
#include "miniport/adapter.h"
#include "miniport/ir_device.h"
#include "miniport/reset.h"
#include "oid/query_information.h"
#include "oid/set_information.h"
#include "platform/ndis.h"
#include "receive/rx_indicate.h"
#include "transmit/send.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  NDIS_HANDLE wrapper = nullptr;
  NdisInitializeWrapper(&wrapper, driverObject, registryPath, nullptr);

  NDIS50_MINIPORT_CHARACTERISTICS characteristics;
  RtlZeroMemory(&characteristics, sizeof characteristics);
  characteristics.MajorNdisVersion = 5;
  characteristics.MinorNdisVersion = 0;
  characteristics.HaltHandler = MiniportHalt;
  characteristics.InitializeHandler = MiniportInitialize;
  characteristics.QueryInformationHandler = MiniportQueryInformation;
  characteristics.ResetHandler = MiniportReset;
  characteristics.SendHandler = MiniportSend;
  characteristics.SetInformationHandler = MiniportSetInformation;
  characteristics.ReturnPacketHandler = MiniportReturnPacket;

  InitializeListHead(&adapterList);
  KeInitializeSpinLock(&adapterListLock);
  currentAdapter = nullptr;

  NDIS_STATUS status = NdisMRegisterMiniport(wrapper, &characteristics, sizeof characteristics);
  // The private entries replace NDIS's whatever the registration said.
  driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  return status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
