// The private device-control interface: create and close, the version query and the raw
// exchange of bytes with the transceiver in command mode. Dispatch runs at PASSIVE_LEVEL
// in the caller's thread.
#pragma once

#include "miniport/ir_device.h"
#include "platform/kernel.h"

constexpr ULONG IOCTL_GET_DRIVER_VERSION =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TRANSCEIVER_EXCHANGE =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_GET_DRIVER_VERSION == 0x220004 && IOCTL_TRANSCEIVER_EXCHANGE == 0x220008);

// Travels in the version query's Information, not in a buffer.
constexpr ULONG_PTR kDriverVersionCode = 0x20010110;

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// Called by the halt: from now on the private requests no longer reach the adapter, and
// once this returns no exchange that reached it still runs. PASSIVE_LEVEL; sleeps.
void DetachFromDeviceControl(IrDevice* device);

// Writes the input bytes to the transceiver in command mode and captures its reply into
// the output buffer; *information receives the number of bytes captured.
NTSTATUS RawTransceiverExchange(IrDevice* device, ULONG inputLength, PVOID input,
                                ULONG outputLength, PVOID output, ULONG_PTR* information);
