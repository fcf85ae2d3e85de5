// The driver seam: the handler table and buffered device-control requests.
#include "tools/sirsim/driver_seam.h"

#include <algorithm>

#include "control/device_control.h"
#include "host/kernel/scheduler.h"
#include "miniport/adapter.h"
#include "miniport/ir_device.h"
#include "miniport/reset.h"
#include "oid/query_information.h"
#include "oid/set_information.h"
#include "receive/rx_indicate.h"
#include "transmit/send.h"

namespace sirsim {

NDIS50_MINIPORT_CHARACTERISTICS LoadDriver() {
  InitializeListHead(&adapterList);
  KeInitializeSpinLock(&adapterListLock);
  currentAdapter = nullptr;
  NDIS50_MINIPORT_CHARACTERISTICS handlers{};
  handlers.MajorNdisVersion = 5;
  handlers.HaltHandler = MiniportHalt;
  handlers.InitializeHandler = MiniportInitialize;
  handlers.QueryInformationHandler = MiniportQueryInformation;
  handlers.ResetHandler = MiniportReset;
  handlers.SendHandler = MiniportSend;
  handlers.SetInformationHandler = MiniportSetInformation;
  handlers.ReturnPacketHandler = MiniportReturnPacket;
  return handlers;
}

DeviceControlResult DeviceControl(ULONG code, const std::vector<std::uint8_t>& input,
                                  ULONG outputLength, std::vector<std::uint8_t>* output) {
  // The driver object and the device object NDIS made for an adapter; the driver's
  // entries act on its current adapter whichever device object the request reaches.
  static DRIVER_OBJECT driverObject{};
  static DEVICE_OBJECT deviceObject{};
  driverObject.MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driverObject.MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driverObject.MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  deviceObject.DriverObject = &driverObject;
  deviceObject.StackSize = 1;

  // Buffered I/O: one system buffer, as long as the longer of the two, carries the input
  // in and the output back.
  std::vector<std::uint8_t> system(std::max<std::size_t>(input.size(), outputLength));
  std::copy(input.begin(), input.end(), system.begin());
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  host::IrqlScope passive(PASSIVE_LEVEL);
  PIRP irp = IoBuildDeviceIoControlRequest(
      code, &deviceObject, system.empty() ? nullptr : system.data(),
      static_cast<ULONG>(input.size()), system.empty() ? nullptr : system.data(), outputLength,
      FALSE, &done, &ioStatus);
  if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, 0};
  irp->AssociatedIrp.SystemBuffer = system.empty() ? nullptr : system.data();
  NTSTATUS status = IofCallDriver(&deviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  if (output != nullptr) {
    ULONG_PTR copied = std::min<ULONG_PTR>(ioStatus.Information, outputLength);
    output->assign(system.begin(), system.begin() + static_cast<std::ptrdiff_t>(copied));
  }
  return {status, ioStatus.Information};
}

}  // namespace sirsim
