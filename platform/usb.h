// USB bus interface declarations the bridge layer uses: the standard descriptors, the
// URB layouts of the four URB functions it sends, the submit-URB control code and the
// two configuration helpers of the bus interface library.
#pragma once

#include "platform/kernel.h"

// ---------------------------------------------------------------------------
// Standard descriptors (little-endian, byte packed)
// ---------------------------------------------------------------------------
constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
typedef USB_DEVICE_DESCRIPTOR* PUSB_DEVICE_DESCRIPTOR;
typedef USB_CONFIGURATION_DESCRIPTOR* PUSB_CONFIGURATION_DESCRIPTOR;
typedef USB_INTERFACE_DESCRIPTOR* PUSB_INTERFACE_DESCRIPTOR;
typedef USB_ENDPOINT_DESCRIPTOR* PUSB_ENDPOINT_DESCRIPTOR;

// ---------------------------------------------------------------------------
// URBs
// ---------------------------------------------------------------------------
constexpr ULONG FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN;
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB =
    CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);

constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;

constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x00000001;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x00000002;

typedef LONG USBD_STATUS;
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

enum USBD_PIPE_TYPE {
  UsbdPipeTypeControl = 0,
  UsbdPipeTypeIsochronous = 1,
  UsbdPipeTypeBulk = 2,
  UsbdPipeTypeInterrupt = 3
};

struct USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaximumTransferSize;
  ULONG PipeFlags;
};

// Followed in memory by NumberOfPipes - 1 further pipe records; Length covers them all.
struct USBD_INTERFACE_INFORMATION {
  USHORT Length;
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;
  UCHAR SubClass;
  UCHAR Protocol;
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
  USBD_PIPE_INFORMATION Pipes[1];
};
typedef USBD_INTERFACE_INFORMATION* PUSBD_INTERFACE_INFORMATION;

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

union URB;

struct _URB_SELECT_CONFIGURATION {
  _URB_HEADER Hdr;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null: unconfigure the device
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;  // on completion: the bytes moved
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  URB* UrbLink;
  _URB_HCD_AREA hca;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  URB* UrbLink;
  _URB_HCD_AREA hca;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PVOID TransferBufferMDL;
  URB* UrbLink;
  _URB_HCD_AREA hca;
  UCHAR RequestTypeReservedBits;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Reserved1;
};

union URB {
  _URB_HEADER UrbHeader;
  _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
  _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
  _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
};
typedef URB* PURB;

// ---------------------------------------------------------------------------
// Bus interface library
// ---------------------------------------------------------------------------
extern "C" {

// A select-configuration URB from pool, with room for the first interface and its pipes;
// its size goes to *size. Freed with ExFreePool. Null when none can be had.
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                     PUSHORT size);
// The first interface descriptor at or after startPosition that matches the criteria
// (-1 matches anything), or null.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol);

}  // extern "C"
