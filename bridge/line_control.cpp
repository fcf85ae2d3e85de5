// Line coding, control lines and the status accessors. The requests wait for the device
// and run at PASSIVE_LEVEL.
#include "bridge/line_control.h"

namespace {

// Class requests of the serial bridge, host to device, class, interface.
constexpr UCHAR kClassInterfaceOut = 0x21;
constexpr UCHAR kSetLineCoding = 0x20;
constexpr UCHAR kSetControlLineState = 0x22;

constexpr USHORT kDtrBit = 0x0001;
constexpr USHORT kRtsBit = 0x0002;

PURB AllocateClassUrb() {
  return static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kBridgeTag));
}

// Fills the URB for the class request, sends it, frees it and answers its status.
NTSTATUS SendClassRequest(BridgeDevice* bridge, PURB urb, UCHAR request, USHORT value,
                          PVOID data, ULONG length) {
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& classRequest = urb->UrbControlVendorClassRequest;
  classRequest.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  classRequest.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  classRequest.TransferFlags = 0;
  classRequest.TransferBuffer = data;
  classRequest.TransferBufferLength = length;
  classRequest.RequestTypeReservedBits = kClassInterfaceOut;
  classRequest.Request = request;
  classRequest.Value = value;
  classRequest.Index = 0;
  NTSTATUS status = SubmitUrbSync(bridge->lowerDevice, urb);
  ExFreePool(urb);
  return status;
}

// The line coding is stored only once the request can be built, and kept even when the
// device refuses it: the next request restates it.
NTSTATUS SendLineCoding(BridgeDevice* bridge, PURB urb) {
  return SendClassRequest(bridge, urb, kSetLineCoding, 0, &bridge->lineCoding,
                          sizeof(LineCoding));
}

NTSTATUS UpdateControlLines(BridgeHandle bridge, USHORT set, USHORT clear) {
  if (!IsUsableBridge(bridge)) return STATUS_INVALID_PARAMETER;
  bridge->controlLines = static_cast<USHORT>((bridge->controlLines & ~clear) | set);
  return SendControlLineState(bridge, bridge->controlLines);
}

}  // namespace

NTSTATUS SetBaudRate(BridgeHandle bridge, ULONG rate) {
  if (!IsUsableBridge(bridge)) return STATUS_INVALID_PARAMETER;
  PURB urb = AllocateClassUrb();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  bridge->lineCoding.dwDTERate = rate;
  return SendLineCoding(bridge, urb);
}

NTSTATUS SetLineFormat(BridgeHandle bridge, UCHAR stopBits, UCHAR parity, UCHAR dataBits) {
  if (!IsUsableBridge(bridge)) return STATUS_INVALID_PARAMETER;
  PURB urb = AllocateClassUrb();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  bridge->lineCoding.bCharFormat = stopBits;
  bridge->lineCoding.bParityType = parity;
  bridge->lineCoding.bDataBits = dataBits;
  return SendLineCoding(bridge, urb);
}

NTSTATUS SetControlLines(BridgeHandle bridge, BOOLEAN rts, BOOLEAN dtr) {
  USHORT lines = static_cast<USHORT>((rts ? kRtsBit : 0) | (dtr ? kDtrBit : 0));
  return UpdateControlLines(bridge, lines, kRtsBit | kDtrBit);
}

NTSTATUS SetDtr(BridgeHandle bridge) { return UpdateControlLines(bridge, kDtrBit, 0); }
NTSTATUS ClearDtr(BridgeHandle bridge) { return UpdateControlLines(bridge, 0, kDtrBit); }
NTSTATUS SetRts(BridgeHandle bridge) { return UpdateControlLines(bridge, kRtsBit, 0); }
NTSTATUS ClearRts(BridgeHandle bridge) { return UpdateControlLines(bridge, 0, kRtsBit); }

NTSTATUS SendControlLineState(BridgeDevice* bridge, USHORT value) {
  if (bridge == nullptr) return STATUS_INVALID_PARAMETER;
  PURB urb = AllocateClassUrb();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  return SendClassRequest(bridge, urb, kSetControlLineState, value, nullptr, 0);
}

NTSTATUS GetBridgeStatus(BridgeHandle bridge, PUSHORT lineStatus, PULONG inCompletions,
                         PULONG outCompletions) {
  if (!IsUsableBridge(bridge)) return STATUS_INVALID_PARAMETER;
  *lineStatus = bridge->lineStatus;
  *inCompletions = bridge->inCompletions;
  *outCompletions = bridge->outCompletions;
  return STATUS_SUCCESS;
}

NTSTATUS ClearBridgeStatus(BridgeHandle bridge) {
  if (bridge == nullptr) return STATUS_INVALID_PARAMETER;
  if (bridge == FailedBridge()) return STATUS_SUCCESS;
  bridge->lineStatus = 0;
  bridge->inCompletions = 0;
  bridge->outCompletions = 0;
  return STATUS_SUCCESS;
}
