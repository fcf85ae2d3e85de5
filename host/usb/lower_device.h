// The host's USB bus driver for one simulated adapter: the device object below the
// miniport, which takes IOCTL_INTERNAL_USB_SUBMIT_URB requests, checks each URB and
// hands it to the device model, and completes the request as the test chose for its
// kind: later (after a modelled latency, from the completion context at DISPATCH_LEVEL),
// inside IofCallDriver, or never (until cancelled). Tests can also make requests fail
// (a stall, any status) and remove the device.
//
// Not simulated: other IRP major functions and control codes (answered
// STATUS_INVALID_DEVICE_REQUEST), URB functions other than the four the bridge sends
// (STATUS_NOT_SUPPORTED), power and plug-and-play requests, bandwidth and frame timing.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "host/usb/timer_set.h"
#include "host/usb/usb_function.h"

namespace host::usb {

enum class RequestKind {
  kGetDescriptor,
  kSelectConfiguration,
  kClassRequest,
  kBulkOut,
  kBulkIn,
  kInterruptIn,
};
constexpr std::size_t kRequestKinds = 6;

// The control requests a serial bridge's driver makes, told apart by their URB: the two
// descriptor reads, choosing and leaving the configuration, and the two class requests.
enum class ControlRequest {
  kDeviceDescriptor,
  kConfigurationDescriptor,
  kSelectConfiguration,
  kDeconfigure,
  kSetLineCoding,
  kSetControlLineState,
};
constexpr std::size_t kControlRequests = 6;
// The control request a URB carries; nullopt for a transfer or another request.
std::optional<ControlRequest> ControlRequestOf(const URB& urb);

enum class Delivery {
  kLater,   // completed `latency` after the device finished it, from the completion context
  kAtOnce,  // completed as soon as the device finished it, in the context that finished
            // it: inside IofCallDriver when the device can answer at once
  kNever,   // held until cancelled; the device never sees it
};

// One request as the bus saw it.
struct BusRequest {
  std::optional<RequestKind> kind;  // none for a URB the bus refused
  USHORT function;
  VirtualTime submitted;
  VirtualTime completed = -1;  // -1 while pending
  NTSTATUS status = STATUS_PENDING;
  bool cancelled = false;
  bool completedInCall = false;  // completed before IofCallDriver returned
};

constexpr VirtualTime kDefaultLatency = 125 * kMicrosecond;  // one high-speed microframe
constexpr VirtualTime kCancelLatency = 125 * kMicrosecond;

class LowerDevice {
 public:
  // stackSize: the stack locations an IRP sent to this device needs (the bus below it).
  LowerDevice(Simulation& simulation, UsbFunction& function, CCHAR stackSize = 2);
  ~LowerDevice();
  LowerDevice(const LowerDevice&) = delete;
  LowerDevice& operator=(const LowerDevice&) = delete;

  PDEVICE_OBJECT device() { return &device_; }

  void SetDelivery(RequestKind kind, Delivery delivery) { kinds_[Index(kind)].delivery = delivery; }
  void SetDelivery(Delivery delivery);
  void SetLatency(RequestKind kind, VirtualTime latency) { kinds_[Index(kind)].latency = latency; }
  // The next `count` requests of this kind fail with `result` instead of reaching the
  // device, completed as their delivery says.
  void FailNext(RequestKind kind, UrbResult result, int count = 1);
  void StallNext(RequestKind kind, int count = 1) { FailNext(kind, kUrbStall, count); }
  // The same for one control request: the next `count` of them fail with `result`. These
  // come before the failures set for their request kind.
  void FailNext(ControlRequest request, UrbResult result, int count = 1);
  void StallNext(ControlRequest request, int count = 1) { FailNext(request, kUrbStall, count); }
  // Forgets the failures not yet used, of every kind and request.
  void ClearFailures();
  // Unplugs the device: pending requests complete with STATUS_DEVICE_NOT_CONNECTED from
  // the completion context, and every later request fails with it at once.
  void Remove();
  bool removed() const { return removed_; }

  const std::vector<BusRequest>& requests() const { return requests_; }
  std::size_t CountOf(RequestKind kind) const;
  std::size_t pendingCount() const { return pending_.size(); }

 private:
  struct KindSettings {
    Delivery delivery = Delivery::kLater;
    VirtualTime latency = kDefaultLatency;
    std::deque<UrbResult> failures;
  };
  struct Pending {
    URB* urb;
    std::size_t record;       // index in requests_
    bool withDevice = false;  // the model has it and must be told when it is dropped
    std::uint64_t finisher = 0;  // the scheduled completion that may finish it; 0: none
  };

  static std::size_t Index(RequestKind kind) { return static_cast<std::size_t>(kind); }
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS Handle(PIRP irp);
  // The failure set for this URB's next request, taken from its queue; none: it goes on.
  std::optional<UrbResult> TakeFailure(RequestKind kind, const URB& urb);
  // The request's kind, or the reason the URB is refused.
  std::optional<RequestKind> Classify(URB* urb, UrbResult* refusal) const;
  // Completes inside the call that submitted it; returns the request's status.
  NTSTATUS CompleteNow(PIRP irp, URB* urb, std::optional<std::size_t> record, UrbResult result);
  // Completes it `delay` from now from the completion context, unless another completion
  // is scheduled for it later.
  void ScheduleFinish(PIRP irp, UrbResult result, VirtualTime delay);
  void Finish(PIRP irp, std::uint64_t finisher, UrbResult result);
  void CompletePending(PIRP irp, UrbResult result);
  void OnCancel(PIRP irp);

  Simulation& simulation_;
  UsbFunction& function_;
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT device_{};
  std::array<KindSettings, kRequestKinds> kinds_{};
  std::array<std::deque<UrbResult>, kControlRequests> controlFailures_{};
  std::vector<BusRequest> requests_;
  std::map<PIRP, Pending> pending_;
  bool removed_ = false;
  std::uint64_t finishers_ = 0;
  TimerSet timers_;
};

}  // namespace host::usb
