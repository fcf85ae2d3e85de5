// The two configuration helpers of the bus interface library: building a
// select-configuration URB for a configuration descriptor, and finding an interface
// descriptor in one. Both walk the descriptor by its own lengths and stop at the first
// malformed entry, so a corrupt descriptor from a device is never read past its end.
#include <cstddef>

#include "host/kernel/pool.h"
#include "host/kernel/simulation.h"
#include "platform/usb.h"

namespace host::usb {
namespace {

// Pool tag of the bus interface library's URBs: "USBD" in memory.
constexpr ULONG kUsbdTag = 0x44425355;
// The largest transfer a pipe is set up for unless its user asks for another.
constexpr ULONG kDefaultMaximumTransferSize = 4096;

// The descriptor that begins at `at`, when it lies whole within the configuration.
const UCHAR* DescriptorAt(const USB_CONFIGURATION_DESCRIPTOR* configuration, const UCHAR* at) {
  auto begin = reinterpret_cast<const UCHAR*>(configuration);
  const UCHAR* end = begin + configuration->wTotalLength;
  if (at < begin || at + 2 > end) return nullptr;
  if (at[0] < 2 || at + at[0] > end) return nullptr;
  return at;
}

const USB_INTERFACE_DESCRIPTOR* FindInterface(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                              const void* start, LONG number, LONG alternate,
                                              LONG interfaceClass, LONG subClass,
                                              LONG protocol) {
  auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
  for (const UCHAR* at = DescriptorAt(configuration, static_cast<const UCHAR*>(start));
       at != nullptr; at = DescriptorAt(configuration, at + at[0])) {
    if (at[1] != USB_INTERFACE_DESCRIPTOR_TYPE || at[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      continue;
    }
    auto interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(at);
    if (matches(number, interface->bInterfaceNumber) &&
        matches(alternate, interface->bAlternateSetting) &&
        matches(interfaceClass, interface->bInterfaceClass) &&
        matches(subClass, interface->bInterfaceSubClass) &&
        matches(protocol, interface->bInterfaceProtocol)) {
      return interface;
    }
  }
  return nullptr;
}

}  // namespace
}  // namespace host::usb

extern "C" {

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                     PUSHORT size) {
  const USB_INTERFACE_DESCRIPTOR* interface =
      configurationDescriptor == nullptr ||
              configurationDescriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)
          ? nullptr
          : host::usb::FindInterface(configurationDescriptor, configurationDescriptor, -1, -1,
                                     -1, -1, -1);
  ULONG pipes = interface == nullptr ? 0 : interface->bNumEndpoints;
  ULONG extraPipes = pipes > 1 ? pipes - 1 : 0;
  std::size_t interfaceLength =
      sizeof(USBD_INTERFACE_INFORMATION) + extraPipes * sizeof(USBD_PIPE_INFORMATION);
  std::size_t urbLength = sizeof(_URB_SELECT_CONFIGURATION) + extraPipes * sizeof(USBD_PIPE_INFORMATION);
  if (urbLength > 0xFFFF) return nullptr;

  auto* urb = static_cast<PURB>(host::Simulation::Current().pool().Allocate(
      host::PoolKind::kExecutive, urbLength, host::usb::kUsbdTag, 16,
      __builtin_return_address(0), "USBD_CreateConfigurationRequest"));
  if (urb == nullptr) return nullptr;
  __builtin_memset(urb, 0, urbLength);
  _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
  select.Hdr.Length = static_cast<USHORT>(urbLength);
  select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  select.ConfigurationDescriptor = configurationDescriptor;
  select.Interface.Length = static_cast<USHORT>(interfaceLength);
  if (interface != nullptr) {
    select.Interface.InterfaceNumber = interface->bInterfaceNumber;
    select.Interface.AlternateSetting = interface->bAlternateSetting;
  }
  select.Interface.NumberOfPipes = pipes;
  for (ULONG i = 0; i < pipes; ++i) {
    select.Interface.Pipes[i].MaximumTransferSize = host::usb::kDefaultMaximumTransferSize;
  }
  if (size != nullptr) *size = static_cast<USHORT>(urbLength);
  return urb;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol) {
  if (configurationDescriptor == nullptr || startPosition == nullptr) return nullptr;
  return const_cast<PUSB_INTERFACE_DESCRIPTOR>(host::usb::FindInterface(
      configurationDescriptor, startPosition, interfaceNumber, alternateSetting,
      interfaceClass, interfaceSubClass, interfaceProtocol));
}

}  // extern "C"
