// The I/O manager: loading a driver, its device objects, and buffered requests.
#include "host/io/io_manager.h"

#include <algorithm>
#include <cstring>

#include "host/kernel/scheduler.h"
#include "host/kernel/simulation.h"

namespace host::io {
namespace {

IoResult Send(PDEVICE_OBJECT device, UCHAR majorFunction, ULONG controlCode,
              const std::vector<UCHAR>& input, ULONG outputLength, const char* call) {
  IrqlScope passive(PASSIVE_LEVEL);
  Simulation& simulation = Simulation::Current();
  std::vector<UCHAR> systemBuffer(std::max<std::size_t>(input.size(), outputLength));
  std::copy(input.begin(), input.end(), systemBuffer.begin());

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP irp;
  {
    // The application's request: not an allocation of the driver's, so it never fails.
    FaultInjector::Suspension notTheDriver(simulation.faults());
    irp = IoBuildDeviceIoControlRequest(controlCode, device, nullptr,
                                        static_cast<ULONG>(input.size()), nullptr, outputLength,
                                        FALSE, &done, &ioStatus);
  }
  irp->AssociatedIrp.SystemBuffer = systemBuffer.empty() ? nullptr : systemBuffer.data();
  irp->IoStatus.Status = STATUS_PENDING;
  IoGetNextIrpStackLocation(irp)->MajorFunction = majorFunction;

  IoResult result;
  NTSTATUS answered = IofCallDriver(device, irp);
  if (answered == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  } else if (KeReadStateEvent(&done) == 0) {
    simulation.verifier().Report(rule::kIoNotCompleted, call,
                                 "the dispatch routine answered " + std::to_string(answered) +
                                     " and did not complete the request");
    result.status = answered;
    return result;
  }
  result.status = ioStatus.Status;
  result.information = ioStatus.Information;
  // Without an output buffer nothing is copied back, whatever Information says.
  ULONG_PTR copied = outputLength == 0 ? 0 : ioStatus.Information;
  if (copied > outputLength) {
    simulation.verifier().Report(rule::kIoInformationOverrun, call,
                                 "Information " + std::to_string(copied) +
                                     " exceeds the output buffer of " +
                                     std::to_string(outputLength) + " bytes");
    copied = outputLength;
  }
  result.output.assign(outputLength, 0);
  std::copy_n(systemBuffer.begin(), copied, result.output.begin());
  return result;
}

}  // namespace

Driver::Driver(std::u16string registryPath) : path_(std::move(registryPath)) {
  pathString_.Length = static_cast<USHORT>(path_.size() * sizeof(WCHAR));
  pathString_.MaximumLength = static_cast<USHORT>(pathString_.Length + sizeof(WCHAR));
  pathString_.Buffer = path_.data();
}

NTSTATUS Driver::Load(DriverEntryRoutine entry) {
  IrqlScope passive(PASSIVE_LEVEL);
  return entry(&object_, &pathString_);
}

PDEVICE_OBJECT Driver::CreateDevice() {
  DEVICE_OBJECT& device = devices_.emplace_back();
  device.DriverObject = &object_;
  device.NextDevice = object_.DeviceObject;
  device.StackSize = 1;
  object_.DeviceObject = &device;
  return &device;
}

IoResult Create(PDEVICE_OBJECT device) {
  return Send(device, IRP_MJ_CREATE, 0, {}, 0, "IRP_MJ_CREATE");
}

IoResult Close(PDEVICE_OBJECT device) {
  return Send(device, IRP_MJ_CLOSE, 0, {}, 0, "IRP_MJ_CLOSE");
}

IoResult DeviceControl(PDEVICE_OBJECT device, ULONG controlCode, const std::vector<UCHAR>& input,
                       ULONG outputLength) {
  return Send(device, IRP_MJ_DEVICE_CONTROL, controlCode, input, outputLength,
              "IRP_MJ_DEVICE_CONTROL");
}

}  // namespace host::io
