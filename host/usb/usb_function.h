// What the host's bus driver asks of a simulated USB function (a device model): which
// transfer a pipe handle names, and the URBs to carry out. Models run in whatever
// context hands them work (the submitter's inside IofCallDriver, the completion thread
// for their own timed work) and never block.
#pragma once

#include <functional>
#include <optional>

#include "platform/usb.h"

namespace host::usb {

// USB request status codes the bus and the models report in a URB's header.
constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_BUFFER_TOO_SMALL = static_cast<USBD_STATUS>(0xC0003000);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<USBD_STATUS>(0x80000200);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600);

// The final status of one URB: the request's and the URB header's.
struct UrbResult {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
};
inline constexpr UrbResult kUrbSuccess{};
inline constexpr UrbResult kUrbStall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
inline constexpr UrbResult kUrbDeviceGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
inline constexpr UrbResult kUrbCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};
inline constexpr UrbResult kUrbInvalid{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};

enum class TransferKind { kBulkOut, kBulkIn, kInterruptIn };

class UsbFunction {
 public:
  using Done = std::function<void(UrbResult)>;
  virtual ~UsbFunction() = default;

  // The transfer a pipe handle of the current configuration names; nullopt for a handle
  // the device did not give out or while it is not configured.
  virtual std::optional<TransferKind> PipeKind(USBD_PIPE_HANDLE pipe) const = 0;
  // Carries out the URB (the bus has checked its function, length and pipe) and calls
  // done once, at once or later, unless the URB is aborted first.
  virtual void Submit(URB* urb, Done done) = 0;
  // Forgets a URB not yet done (cancelled, or the device removed); done is not called.
  virtual void Abort(URB* urb) = 0;
};

}  // namespace host::usb
