// Creating, configuring, starting, stopping and destroying the bridge, and synchronous
// URB submission. PASSIVE_LEVEL.
#include "bridge/bridge_device.h"

#include "bridge/interrupt_pipe.h"
#include "bridge/vendor_id.h"
#include "platform/access_once.h"

namespace {

constexpr LONGLONG kSyncTimeout = -30'000'000;  // 3 s, relative
constexpr ULONG kDeviceDescriptorLength = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr ULONG kVendorIdOffset = 8;

PVOID AllocateBridgeMemory(SIZE_T length) {
  return ExAllocatePoolWithTag(NonPagedPool, length, kBridgeTag);
}

USHORT ReadLittleEndian16(const UCHAR* bytes) {
  return static_cast<USHORT>(bytes[0] | (bytes[1] << 8));
}

// A get-descriptor URB for descriptor `type`, index 0, into the buffer.
void FillDescriptorUrb(PURB urb, UCHAR type, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBuffer = buffer;
  request.TransferBufferLength = length;
  request.DescriptorType = type;
}

// The bytes a completed descriptor request returned.
ULONG ReturnedLength(PURB urb) { return urb->UrbControlDescriptorRequest.TransferBufferLength; }

void FreeConfiguration(BridgeDevice* bridge) {
  if (bridge->configurationDescriptor != nullptr) {
    ExFreePool(bridge->configurationDescriptor);
    bridge->configurationDescriptor = nullptr;
  }
}

void FreeInterfaceInfo(BridgeDevice* bridge) {
  if (bridge->interfaceInfo != nullptr) {
    ExFreePool(bridge->interfaceInfo);
    bridge->interfaceInfo = nullptr;
  }
}

// A select-configuration URB for the held descriptor, with the given descriptor pointer
// (null unconfigures) and header length.
PURB BuildSelectUrb(BridgeDevice* bridge, PUSB_CONFIGURATION_DESCRIPTOR selected,
                    USHORT* size) {
  PURB urb = USBD_CreateConfigurationRequest(bridge->configurationDescriptor, size);
  if (urb == nullptr) return nullptr;
  urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = selected;
  return urb;
}

// The interface information the bus returned is used by position for three pipes; one
// that is shorter than its URB or than three pipes is refused rather than read past.
bool IsUsableInterfaceInfo(const USBD_INTERFACE_INFORMATION& info, USHORT urbSize) {
  constexpr SIZE_T kNeeded = __builtin_offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                             kBridgePipeCount * sizeof(USBD_PIPE_INFORMATION);
  SIZE_T room = urbSize - __builtin_offsetof(_URB_SELECT_CONFIGURATION, Interface);
  return info.Length >= kNeeded && info.Length <= room && info.NumberOfPipes >= kBridgePipeCount;
}

}  // namespace

NTSTATUS SubmitUrbSyncStatus(PDEVICE_OBJECT lowerDevice, PURB urb, PIO_STATUS_BLOCK ioStatus) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lowerDevice, nullptr,
                                           0, nullptr, 0, TRUE, &done, ioStatus);
  if (irp == nullptr) {
    ioStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
    ioStatus->Information = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

  NTSTATUS status = IofCallDriver(lowerDevice, irp);
  if (status != STATUS_PENDING) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kSyncTimeout;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) {
    return ioStatus->Status;
  }
  // A request that completed just as the wait ran out is already freed: report it as it
  // ended instead of cancelling it.
  if (KeReadStateEvent(&done) != 0) return ioStatus->Status;
  IoCancelIrp(irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return STATUS_IO_TIMEOUT;
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT lowerDevice, PURB urb) {
  IO_STATUS_BLOCK ioStatus;
  return SubmitUrbSyncStatus(lowerDevice, urb, &ioStatus);
}

BOOLEAN CheckDeviceDescriptor(PDEVICE_OBJECT lowerDevice) {
  auto urb = static_cast<PURB>(AllocateBridgeMemory(sizeof(URB)));
  auto descriptor = static_cast<PUCHAR>(AllocateBridgeMemory(kDeviceDescriptorLength));
  BOOLEAN ours = FALSE;
  if (urb != nullptr && descriptor != nullptr) {
    FillDescriptorUrb(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, kDeviceDescriptorLength);
    // Only the vendor is checked, and only when the device returned it.
    ours = SubmitUrbSync(lowerDevice, urb) == STATUS_SUCCESS &&
           ReturnedLength(urb) >= kVendorIdOffset + 2 &&
           ReadLittleEndian16(descriptor + kVendorIdOffset) == kBridgeVendorId;
  }
  if (descriptor != nullptr) ExFreePool(descriptor);
  if (urb != nullptr) ExFreePool(urb);
  return ours;
}

NTSTATUS ReadConfigurationDescriptor(BridgeDevice* bridge) {
  FreeConfiguration(bridge);
  auto urb = static_cast<PURB>(AllocateBridgeMemory(sizeof(URB)));
  auto header = static_cast<PUCHAR>(AllocateBridgeMemory(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
  if (urb == nullptr || header == nullptr) {
    if (header != nullptr) ExFreePool(header);
    if (urb != nullptr) ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // First the nine-byte header for the total length, then the whole descriptor. Each
  // read must return what it asked for, and the whole descriptor must restate the same
  // length, since the configuration helpers walk it by that length.
  FillDescriptorUrb(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                    sizeof(USB_CONFIGURATION_DESCRIPTOR));
  NTSTATUS status = SubmitUrbSync(bridge->lowerDevice, urb);
  if (status == STATUS_SUCCESS && ReturnedLength(urb) != sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  USHORT totalLength = ReadLittleEndian16(header + 2);
  ExFreePool(header);
  if (status == STATUS_SUCCESS && totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (status != STATUS_SUCCESS) {
    ExFreePool(urb);
    return status;
  }

  auto descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateBridgeMemory(totalLength));
  if (descriptor == nullptr) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FillDescriptorUrb(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, totalLength);
  status = SubmitUrbSync(bridge->lowerDevice, urb);
  if (status == STATUS_SUCCESS &&
      (ReturnedLength(urb) != totalLength || descriptor->wTotalLength != totalLength)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (status == STATUS_SUCCESS) {
    bridge->configurationDescriptor = descriptor;
  } else {
    ExFreePool(descriptor);
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS SelectConfiguration(BridgeDevice* bridge) {
  NTSTATUS status = ReadConfigurationDescriptor(bridge);
  if (status != STATUS_SUCCESS) return status;

  PUSB_CONFIGURATION_DESCRIPTOR descriptor = bridge->configurationDescriptor;
  USHORT size = 0;
  PURB urb = BuildSelectUrb(bridge, descriptor, &size);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1) ==
      nullptr) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  urb->UrbSelectConfiguration.Hdr.Length = size;
  status = SubmitUrbSync(bridge->lowerDevice, urb);
  if (status == STATUS_SUCCESS) {
    const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
    if (!IsUsableInterfaceInfo(info, size)) {
      status = STATUS_DEVICE_DATA_ERROR;
    } else {
      FreeInterfaceInfo(bridge);
      auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateBridgeMemory(info.Length));
      if (copy == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      } else {
        RtlCopyMemory(copy, &info, info.Length);
        bridge->interfaceInfo = copy;
      }
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS DeconfigureBridge(BridgeDevice* bridge) {
  if (bridge->configurationDescriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  USHORT size = 0;
  PURB urb = BuildSelectUrb(bridge, nullptr, &size);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbSelectConfiguration.Hdr.Length = sizeof(_URB_SELECT_CONFIGURATION);
  NTSTATUS status = SubmitUrbSync(bridge->lowerDevice, urb);
  ExFreePool(urb);
  return status;
}

BridgeHandle CreateBridge(PDEVICE_OBJECT lowerDevice) {
  if (lowerDevice == nullptr || !CheckDeviceDescriptor(lowerDevice)) return FailedBridge();
  auto bridge = static_cast<BridgeDevice*>(AllocateBridgeMemory(sizeof(BridgeDevice)));
  if (bridge == nullptr) return FailedBridge();
  RtlZeroMemory(bridge, sizeof(BridgeDevice));
  bridge->lowerDevice = lowerDevice;
  bridge->interfaceInfo = nullptr;
  KeInitializeDpc(&bridge->pollDpc, InterruptPollDpc, bridge);
  KeInitializeEvent(&bridge->sequenceLock, SynchronizationEvent, TRUE);
  return bridge;
}

BOOLEAN DestroyBridge(BridgeHandle bridge) {
  if (!IsUsableBridge(bridge)) return FALSE;
  FreeInterfaceInfo(bridge);
  FreeConfiguration(bridge);
  ExFreePool(bridge);
  return TRUE;
}

BOOLEAN StartBridge(BridgeHandle bridge) {
  if (!IsUsableBridge(bridge)) return FALSE;
  if (SelectConfiguration(bridge) != STATUS_SUCCESS) return FALSE;
  StartInterruptPolling(bridge);  // fails only while a start is already queued
  WriteOnce(bridge->started, TRUE);
  return TRUE;
}

BOOLEAN StopBridge(BridgeHandle bridge) {
  if (!IsUsableBridge(bridge)) return TRUE;
  WriteOnce(bridge->started, FALSE);
  StopInterruptPolling(bridge);
  DeconfigureBridge(bridge);  // the device may be gone already; nothing else to do
  return TRUE;
}

BOOLEAN IsBridgeStarted(BridgeHandle bridge) {
  return IsUsableBridge(bridge) && ReadOnce(bridge->started);
}

void BeginTransceiverSequence(BridgeHandle bridge) {
  if (!IsUsableBridge(bridge)) return;
  KeWaitForSingleObject(&bridge->sequenceLock, Executive, KernelMode, FALSE, nullptr);
}

void EndTransceiverSequence(BridgeHandle bridge) {
  if (!IsUsableBridge(bridge)) return;
  KeSetEvent(&bridge->sequenceLock, IO_NO_INCREMENT, FALSE);
}

USBD_PIPE_HANDLE BridgePipe(const BridgeDevice* bridge, ULONG index) {
  const USBD_INTERFACE_INFORMATION* info = bridge->interfaceInfo;
  if (info == nullptr || index >= info->NumberOfPipes) return nullptr;
  return (info->Pipes + index)->PipeHandle;
}
