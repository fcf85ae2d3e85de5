// IRPs: allocation with their stack locations, IofCallDriver down the stack, completion
// up the stack through the completion routines, cancellation, and the I/O manager's own
// completion of the requests that IoBuildDeviceIoControlRequest built.
#include "host/kernel/irp.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "host/kernel/pool.h"
#include "host/kernel/scheduler.h"

namespace host {
namespace {

enum class IrpState {
  kAllocated,   // with its creator, not sent
  kWithDriver,  // sent down and not yet completed
  kCompleting,  // its completion routines are running
  kCompleted,   // completion reached the top; the creator frees it
  kFreed,       // in quarantine
};

struct IrpRecord {
  std::unique_ptr<std::max_align_t[]> memory;
  std::size_t size = 0;
  IrpState state = IrpState::kAllocated;
  bool built = false;  // by IoBuildDeviceIoControlRequest: the I/O manager frees it
  IrpCancelRoutine cancelRoutine;
  const void* caller = nullptr;
  const char* call = "";
};

struct IrpTracker {
  std::unordered_map<const IRP*, IrpRecord> records;
  std::function<void(PIRP)> beforeCancel;
};

IrpTracker& Tracker() { return Simulation::Current().Extension<IrpTracker>(); }


void Report(std::string_view ruleName, const char* call, const IRP* irp, const char* what) {
  Simulation::Current().verifier().Report(ruleName, call, "IRP " + DescribeAddress(irp) + " " + what);
}

// The live record of an IRP, or null after reporting what is wrong with the pointer.
IrpRecord* LiveRecord(const IRP* irp, const char* call, std::string_view freedRule) {
  IrpTracker& tracker = Tracker();
  auto found = tracker.records.find(irp);
  if (found == tracker.records.end()) {
    Report(rule::kIrpUnknown, call, irp, "is not an IRP");
    return nullptr;
  }
  if (found->second.state == IrpState::kFreed) {
    Report(freedRule, call, irp, "was already freed");
    return nullptr;
  }
  return &found->second;
}

PIRP NewIrp(CCHAR stackSize, const void* caller, const char* call) {
  if (stackSize < 1) {
    Simulation::Current().verifier().Report(rule::kBadArgument, call,
                                            "stack size " + std::to_string(stackSize));
    return nullptr;
  }
  std::size_t size = sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  std::size_t units = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
  IrpRecord record;
  record.memory = std::make_unique<std::max_align_t[]>(units);
  record.size = size;
  record.caller = caller;
  record.call = call;
  auto* irp = reinterpret_cast<PIRP>(record.memory.get());
  std::memset(static_cast<void*>(irp), 0, size);
  auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
  Tracker().records.emplace(irp, std::move(record));
  return irp;
}

void Release(PIRP irp, IrpRecord& record) {
  std::memset(static_cast<void*>(irp), 0xDD, record.size);
  record.state = IrpState::kFreed;
  record.cancelRoutine = nullptr;
}

bool ShouldInvoke(UCHAR control, NTSTATUS status, BOOLEAN cancelled) {
  if (cancelled && (control & SL_INVOKE_ON_CANCEL)) return true;
  return NT_SUCCESS(status) ? (control & SL_INVOKE_ON_SUCCESS) != 0
                            : (control & SL_INVOKE_ON_ERROR) != 0;
}

}  // namespace

void SetIrpCancelRoutine(PIRP irp, IrpCancelRoutine routine) {
  if (IrpRecord* record = LiveRecord(irp, "SetIrpCancelRoutine", rule::kIrpUnknown)) {
    record->cancelRoutine = std::move(routine);
  }
}

bool ClearIrpCancelRoutine(PIRP irp) {
  IrpRecord* record = LiveRecord(irp, "ClearIrpCancelRoutine", rule::kIrpUnknown);
  if (record == nullptr || !record->cancelRoutine) return false;
  record->cancelRoutine = nullptr;
  return true;
}

void SetBeforeCancelHook(std::function<void(PIRP)> hook) {
  Tracker().beforeCancel = std::move(hook);
}

bool IsLiveIrp(const IRP* irp) {
  IrpTracker& tracker = Tracker();
  auto found = tracker.records.find(irp);
  return found != tracker.records.end() && found->second.state != IrpState::kFreed;
}

std::size_t LiveIrpCount() {
  std::size_t count = 0;
  for (auto& [irp, record] : Tracker().records) count += record.state != IrpState::kFreed;
  return count;
}

std::size_t CheckIrpLeaks(const char* checkpoint) {
  std::size_t count = 0;
  for (auto& [irp, record] : Tracker().records) {
    if (record.state == IrpState::kFreed) continue;
    ++count;
    const char* where = record.state == IrpState::kWithDriver ? "still held by a driver"
                                                               : "never freed";
    Simulation::Current().verifier().Report(
        rule::kIrpLeak, checkpoint,
        "IRP " + DescribeAddress(irp) + " from " + record.call + " by " +
            DescribeCodeAddress(record.caller) + " is " + where);
  }
  return count;
}

}  // namespace host

extern "C" {

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  host::Simulation& simulation = host::Simulation::Current();
  simulation.scheduler().SchedulingPoint();
  if (simulation.faults().ShouldFail()) return nullptr;
  return host::NewIrp(stackSize, __builtin_return_address(0), "IoAllocateIrp");
}

void IoFreeIrp(PIRP irp) {
  host::IrpRecord* record = host::LiveRecord(irp, "IoFreeIrp", host::rule::kIrpDoubleFree);
  if (record == nullptr) return;
  if (record->state == host::IrpState::kWithDriver) {
    host::Report(host::rule::kIrpFreedOutstanding, "IoFreeIrp", irp,
                 "is still held by a driver below; not freed");
    return;
  }
  host::Release(irp, *record);
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength,
                                   PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event,
                                   PIO_STATUS_BLOCK ioStatusBlock) {
  host::Simulation& simulation = host::Simulation::Current();
  simulation.scheduler().SchedulingPoint();
  if (simulation.faults().ShouldFail()) return nullptr;
  PIRP irp = host::NewIrp(deviceObject->StackSize, __builtin_return_address(0),
                          "IoBuildDeviceIoControlRequest");
  if (irp == nullptr) return nullptr;
  host::Tracker().records.at(irp).built = true;
  irp->UserIosb = ioStatusBlock;
  irp->UserEvent = event;
  irp->UserBuffer = outputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  host::IrpRecord* record = host::LiveRecord(irp, "IofCallDriver", host::rule::kIrpUnknown);
  if (record == nullptr) return STATUS_INVALID_PARAMETER;
  if (irp->CurrentLocation <= 1) {
    host::Report(host::rule::kIrpNoStackLocation, "IofCallDriver", irp,
                 "has no stack location left for the next driver");
    return STATUS_INVALID_PARAMETER;
  }
  record->state = host::IrpState::kWithDriver;
  irp->CurrentLocation = static_cast<CCHAR>(irp->CurrentLocation - 1);
  irp->Tail.Overlay.CurrentStackLocation -= 1;
  PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
  location->DeviceObject = deviceObject;
  host::Simulation::Current().scheduler().SchedulingPoint();
  PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[location->MajorFunction];
  if (dispatch == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(deviceObject, irp);
}

void IofCompleteRequest(PIRP irp, CCHAR) {
  host::IrpRecord* record =
      host::LiveRecord(irp, "IofCompleteRequest", host::rule::kIrpDoubleComplete);
  if (record == nullptr) return;
  if (record->state != host::IrpState::kWithDriver) {
    host::Report(host::rule::kIrpDoubleComplete, "IofCompleteRequest", irp,
                 "is not held by a driver: completed twice, or never sent");
    return;
  }
  record->state = host::IrpState::kCompleting;
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    UCHAR control = location->Control;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
    location->Control = 0;
    irp->CurrentLocation = static_cast<CCHAR>(irp->CurrentLocation + 1);
    irp->Tail.Overlay.CurrentStackLocation += 1;
    if (routine == nullptr) continue;
    if (!host::ShouldInvoke(control, irp->IoStatus.Status, irp->Cancel)) {
      host::Report(host::rule::kIrpCompletionRoutine, "IofCompleteRequest", irp,
                   "completed without the completion routine its sender set");
      continue;
    }
    PDEVICE_OBJECT above = irp->CurrentLocation <= irp->StackCount
                               ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                               : nullptr;
    if (routine(above, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
      // The IRP belongs to the routine's owner again; it may be freed already.
      if (host::IsLiveIrp(irp) && host::Tracker().records.at(irp).state ==
                                      host::IrpState::kCompleting) {
        host::Tracker().records.at(irp).state = host::IrpState::kCompleted;
      }
      return;
    }
    record = host::LiveRecord(irp, "IofCompleteRequest", host::rule::kIrpDoubleFree);
    if (record == nullptr) return;  // freed by a routine that did not keep it
  }
  if (record->built) {
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    host::Release(irp, *record);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return;
  }
  record->state = host::IrpState::kCompleted;
}

BOOLEAN IoCancelIrp(PIRP irp) {
  host::IrpTracker& tracker = host::Tracker();
  if (tracker.beforeCancel) {
    auto hook = std::move(tracker.beforeCancel);
    tracker.beforeCancel = nullptr;
    hook(irp);
  }
  host::IrpRecord* record = host::LiveRecord(irp, "IoCancelIrp", host::rule::kIrpCancelAfterFree);
  if (record == nullptr) return FALSE;
  irp->Cancel = TRUE;
  host::IrpCancelRoutine routine = std::move(record->cancelRoutine);
  record->cancelRoutine = nullptr;
  if (!routine) return FALSE;
  routine(irp);
  return TRUE;
}

}  // extern "C"
