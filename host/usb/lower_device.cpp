// The bus driver of one lower device: checks each URB, hands it to the device model and
// completes the request as the test chose.
#include "host/usb/lower_device.h"

#include <memory>

#include "host/kernel/irp.h"

namespace host::usb {
namespace {

// The serial class requests, by their request codes.
constexpr UCHAR kSetLineCoding = 0x20;
constexpr UCHAR kSetControlLineState = 0x22;

bool HasBuffer(PVOID buffer, PVOID mdl, ULONG length) {
  return mdl == nullptr && (length == 0 || buffer != nullptr);
}

}  // namespace

std::optional<ControlRequest> ControlRequestOf(const URB& urb) {
  switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      switch (urb.UrbControlDescriptorRequest.DescriptorType) {
        case USB_DEVICE_DESCRIPTOR_TYPE: return ControlRequest::kDeviceDescriptor;
        case USB_CONFIGURATION_DESCRIPTOR_TYPE: return ControlRequest::kConfigurationDescriptor;
      }
      return std::nullopt;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return urb.UrbSelectConfiguration.ConfigurationDescriptor == nullptr
                 ? ControlRequest::kDeconfigure
                 : ControlRequest::kSelectConfiguration;
    case URB_FUNCTION_CLASS_INTERFACE:
      switch (urb.UrbControlVendorClassRequest.Request) {
        case kSetLineCoding: return ControlRequest::kSetLineCoding;
        case kSetControlLineState: return ControlRequest::kSetControlLineState;
      }
      return std::nullopt;
  }
  return std::nullopt;
}

LowerDevice::LowerDevice(Simulation& simulation, UsbFunction& function, CCHAR stackSize)
    : simulation_(simulation), function_(function), timers_(simulation) {
  driver_.DeviceObject = &device_;
  driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &LowerDevice::Dispatch;
  device_.DriverObject = &driver_;
  device_.DeviceExtension = this;
  device_.StackSize = stackSize;
}

LowerDevice::~LowerDevice() {
  // Requests still pending are abandoned: the IRP checks report them.
  for (auto& [irp, pending] : pending_) {
    if (pending.withDevice) function_.Abort(pending.urb);
  }
}

void LowerDevice::SetDelivery(Delivery delivery) {
  for (KindSettings& settings : kinds_) settings.delivery = delivery;
}

void LowerDevice::FailNext(RequestKind kind, UrbResult result, int count) {
  for (int i = 0; i < count; ++i) kinds_[Index(kind)].failures.push_back(result);
}

void LowerDevice::FailNext(ControlRequest request, UrbResult result, int count) {
  auto& failures = controlFailures_[static_cast<std::size_t>(request)];
  for (int i = 0; i < count; ++i) failures.push_back(result);
}

void LowerDevice::ClearFailures() {
  for (KindSettings& settings : kinds_) settings.failures.clear();
  for (auto& failures : controlFailures_) failures.clear();
}

std::optional<UrbResult> LowerDevice::TakeFailure(RequestKind kind, const URB& urb) {
  std::deque<UrbResult>* failures = &kinds_[Index(kind)].failures;
  if (std::optional<ControlRequest> request = ControlRequestOf(urb)) {
    auto& own = controlFailures_[static_cast<std::size_t>(*request)];
    if (!own.empty()) failures = &own;
  }
  if (failures->empty()) return std::nullopt;
  UrbResult failure = failures->front();
  failures->pop_front();
  return failure;
}

void LowerDevice::Remove() {
  removed_ = true;
  for (auto& [irp, pending] : pending_) {
    if (pending.finisher != 0) continue;  // already finished by the device: on its way
    if (pending.withDevice) function_.Abort(pending.urb);
    pending.withDevice = false;
    ScheduleFinish(irp, kUrbDeviceGone, 0);
  }
}

std::size_t LowerDevice::CountOf(RequestKind kind) const {
  std::size_t count = 0;
  for (const BusRequest& request : requests_) count += request.kind == kind;
  return count;
}

NTSTATUS LowerDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return static_cast<LowerDevice*>(device->DeviceExtension)->Handle(irp);
}

std::optional<RequestKind> LowerDevice::Classify(URB* urb, UrbResult* refusal) const {
  const USHORT length = urb->UrbHeader.Length;
  *refusal = kUrbInvalid;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      if (length < sizeof(_URB_SELECT_CONFIGURATION)) return std::nullopt;
      return RequestKind::kSelectConfiguration;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      const auto& request = urb->UrbControlDescriptorRequest;
      if (length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) ||
          !HasBuffer(request.TransferBuffer, request.TransferBufferMDL,
                     request.TransferBufferLength)) {
        return std::nullopt;
      }
      return RequestKind::kGetDescriptor;
    }
    case URB_FUNCTION_CLASS_INTERFACE: {
      const auto& request = urb->UrbControlVendorClassRequest;
      if (length < sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) ||
          !HasBuffer(request.TransferBuffer, request.TransferBufferMDL,
                     request.TransferBufferLength)) {
        return std::nullopt;
      }
      return RequestKind::kClassRequest;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      const auto& transfer = urb->UrbBulkOrInterruptTransfer;
      if (length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) ||
          !HasBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL,
                     transfer.TransferBufferLength)) {
        return std::nullopt;
      }
      std::optional<TransferKind> pipe = function_.PipeKind(transfer.PipeHandle);
      if (!pipe) {
        *refusal = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
        return std::nullopt;
      }
      bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      if (in != (*pipe != TransferKind::kBulkOut)) return std::nullopt;
      switch (*pipe) {
        case TransferKind::kBulkOut: return RequestKind::kBulkOut;
        case TransferKind::kBulkIn: return RequestKind::kBulkIn;
        case TransferKind::kInterruptIn: return RequestKind::kInterruptIn;
      }
      return std::nullopt;
    }
    default:
      *refusal = {STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION};
      return std::nullopt;
  }
}

NTSTATUS LowerDevice::Handle(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  auto* urb = static_cast<URB*>(location->Parameters.Others.Argument1);
  if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return CompleteNow(irp, nullptr, std::nullopt,
                       {STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_INVALID_PARAMETER});
  }
  if (urb == nullptr) return CompleteNow(irp, nullptr, std::nullopt, kUrbInvalid);

  UrbResult refusal;
  std::optional<RequestKind> kind = Classify(urb, &refusal);
  requests_.push_back(BusRequest{kind, urb->UrbHeader.Function, simulation_.Now()});
  std::size_t record = requests_.size() - 1;
  if (!kind) return CompleteNow(irp, urb, record, refusal);
  if (removed_) return CompleteNow(irp, urb, record, kUrbDeviceGone);
  if (irp->Cancel) return CompleteNow(irp, urb, record, kUrbCancelled);  // cancelled on its way

  KindSettings& settings = kinds_[Index(*kind)];
  pending_[irp] = Pending{urb, record};
  SetIrpCancelRoutine(irp, [this](PIRP cancelled) { OnCancel(cancelled); });
  if (settings.delivery == Delivery::kNever) return STATUS_PENDING;
  if (std::optional<UrbResult> failure = TakeFailure(*kind, *urb)) {
    if (settings.delivery == Delivery::kAtOnce) return CompleteNow(irp, urb, record, *failure);
    ScheduleFinish(irp, *failure, settings.latency);
    return STATUS_PENDING;
  }

  // The model may finish inside Submit; with delivery at once the request then completes
  // before IofCallDriver returns.
  struct CallState {
    bool inCall = true;
    std::optional<UrbResult> early;
  };
  auto call = std::make_shared<CallState>();
  const Delivery delivery = settings.delivery;
  const VirtualTime latency = settings.latency;
  pending_[irp].withDevice = true;
  function_.Submit(urb, [this, irp, call, delivery, latency](UrbResult result) {
    if (call->inCall && delivery == Delivery::kAtOnce) {
      call->early = result;
      return;
    }
    auto found = pending_.find(irp);
    if (found == pending_.end() || !found->second.withDevice) return;
    found->second.withDevice = false;
    // At once means in the context that finished it: the completion thread for the
    // model's timed work, or whoever fed the model (a test standing in for an interrupt).
    if (delivery == Delivery::kAtOnce) return CompletePending(irp, result);
    ScheduleFinish(irp, result, latency);
  });
  call->inCall = false;
  if (call->early) return CompleteNow(irp, urb, record, *call->early);
  return STATUS_PENDING;
}

NTSTATUS LowerDevice::CompleteNow(PIRP irp, URB* urb, std::optional<std::size_t> record,
                                  UrbResult result) {
  pending_.erase(irp);
  ClearIrpCancelRoutine(irp);
  if (record) {
    BusRequest& request = requests_[*record];
    request.completed = simulation_.Now();
    request.status = result.status;
    request.completedInCall = true;
  }
  if (urb != nullptr) urb->UrbHeader.Status = result.usbd;
  irp->IoStatus.Status = result.status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return result.status;
}

void LowerDevice::ScheduleFinish(PIRP irp, UrbResult result, VirtualTime delay) {
  std::uint64_t finisher = ++finishers_;
  pending_.at(irp).finisher = finisher;
  timers_.After(delay, [this, irp, finisher, result] { Finish(irp, finisher, result); });
}

void LowerDevice::Finish(PIRP irp, std::uint64_t finisher, UrbResult result) {
  auto found = pending_.find(irp);
  if (found == pending_.end() || found->second.finisher != finisher) return;
  CompletePending(irp, result);
}

void LowerDevice::CompletePending(PIRP irp, UrbResult result) {
  auto found = pending_.find(irp);
  Pending pending = found->second;
  pending_.erase(found);
  ClearIrpCancelRoutine(irp);
  BusRequest& request = requests_[pending.record];
  request.completed = simulation_.Now();
  request.status = result.status;
  pending.urb->UrbHeader.Status = result.usbd;
  irp->IoStatus.Status = result.status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void LowerDevice::OnCancel(PIRP irp) {
  auto found = pending_.find(irp);
  if (found == pending_.end() || found->second.finisher != 0) return;  // completing anyway
  Pending& pending = found->second;
  if (pending.withDevice) function_.Abort(pending.urb);
  pending.withDevice = false;
  requests_[pending.record].cancelled = true;
  ScheduleFinish(irp, kUrbCancelled, kCancelLatency);
}

}  // namespace host::usb
