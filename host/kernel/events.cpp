// Events, waits, sleeps and the system time. A waiting thread links one wait block per
// object into the objects' wait lists; KeSetEvent walks the list and satisfies waiters in
// the order they began to wait.
#include <cstdio>

#include "host/kernel/scheduler.h"
#include "platform/ndis.h"

namespace host {
namespace {

// System time at virtual time 0: 2026-01-01, in 100 ns units since 1601.
constexpr LONGLONG kSystemTimeBase = 134115264000000000LL;

bool IsSignalled(const DISPATCHER_HEADER* object) { return object->SignalState > 0; }

// An event that KeInitializeEvent never set up (fresh pool is 0xCD, zeroed memory has no
// wait list) would send the wait-list walk through garbage; it is reported instead.
bool IsInitializedEvent(const DISPATCHER_HEADER* object, const char* call) {
  if ((object->Type == NotificationEvent || object->Type == SynchronizationEvent) &&
      object->WaitListHead.Flink != nullptr && object->WaitListHead.Blink != nullptr) {
    return true;
  }
  char detail[96];
  std::snprintf(detail, sizeof detail, "the object at %p is not an initialized event",
                static_cast<const void*>(object));
  Simulation::Current().verifier().Report(rule::kBadArgument, call, detail);
  return false;
}

// A satisfied wait consumes the signal of a synchronization event.
void Consume(DISPATCHER_HEADER* object) {
  if (object->Type == SynchronizationEvent) object->SignalState = 0;
}

// The status that ends the wait now, or STATUS_PENDING when it must block.
NTSTATUS TrySatisfy(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE type) {
  if (type == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      if (IsSignalled(objects[i])) {
        Consume(objects[i]);
        return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
      }
    }
    return STATUS_PENDING;
  }
  for (ULONG i = 0; i < count; ++i) {
    if (!IsSignalled(objects[i])) return STATUS_PENDING;
  }
  for (ULONG i = 0; i < count; ++i) Consume(objects[i]);
  return STATUS_WAIT_0;
}

// Deadline of a kernel time-out: null waits for ever, negative is relative, positive is an
// absolute system time.
VirtualTime Deadline(const LARGE_INTEGER* timeout) {
  Simulation& simulation = Simulation::Current();
  if (timeout == nullptr) return kForever;
  if (timeout->QuadPart < 0) {
    // -INT64_MIN does not exist; that time-out is as good as for ever.
    if (timeout->QuadPart == INT64_MIN) return kForever;
    return AddSaturating(simulation.Now(), -timeout->QuadPart);
  }
  return timeout->QuadPart - kSystemTimeBase;
}

void CheckPassive(std::string_view ruleName, const char* call) {
  KIRQL irql = CurrentThread().irql;
  if (irql > PASSIVE_LEVEL) {
    Simulation::Current().verifier().Report(
        ruleName, call, "called at IRQL " + std::to_string(irql) + ", above PASSIVE_LEVEL");
  }
}

NTSTATUS Wait(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout,
              const char* call) {
  Simulation& simulation = Simulation::Current();
  Scheduler& scheduler = simulation.scheduler();
  if (count == 0 || count > kMaximumWaitObjects) {
    simulation.verifier().Report(rule::kBadArgument, call,
                                 "wait on " + std::to_string(count) + " objects");
    return STATUS_INVALID_PARAMETER;
  }
  auto headers = reinterpret_cast<DISPATCHER_HEADER* const*>(objects);
  for (ULONG i = 0; i < count; ++i) {
    if (!IsInitializedEvent(headers[i], call)) return STATUS_INVALID_PARAMETER;
  }
  if (timeout == nullptr || timeout->QuadPart != 0) CheckPassive(rule::kWaitAbovePassive, call);
  scheduler.SchedulingPoint();

  NTSTATUS status = TrySatisfy(count, headers, type);
  if (status != STATUS_PENDING) return status;
  VirtualTime deadline = Deadline(timeout);
  if (deadline <= simulation.Now()) return STATUS_TIMEOUT;

  SimThread& self = CurrentThread();
  self.waitType = type;
  self.waitCount = count;
  for (ULONG i = 0; i < count; ++i) {
    self.waitBlocks[i] = WaitBlock{{}, &self, headers[i], i};
    InsertTailList(&headers[i]->WaitListHead, &self.waitBlocks[i].link);
  }
  scheduler.Block(WaitKind::kObjects, call, deadline);
  return self.waitStatus;
}

// Wakes the waiters that the object's new signal satisfies, oldest first.
void SatisfyWaiters(DISPATCHER_HEADER* object) {
  Scheduler& scheduler = Simulation::Current().scheduler();
  PLIST_ENTRY entry = object->WaitListHead.Flink;
  while (entry != &object->WaitListHead && IsSignalled(object)) {
    WaitBlock* block = CONTAINING_RECORD(entry, WaitBlock, link);
    entry = entry->Flink;
    SimThread* thread = block->thread;
    DISPATCHER_HEADER* objects[kMaximumWaitObjects];
    for (ULONG i = 0; i < thread->waitCount; ++i) objects[i] = thread->waitBlocks[i].object;
    NTSTATUS status = TrySatisfy(thread->waitCount, objects, thread->waitType);
    if (status == STATUS_PENDING) continue;
    for (ULONG i = 0; i < thread->waitCount; ++i) RemoveEntryList(&thread->waitBlocks[i].link);
    thread->waitStatus = status;
    scheduler.MakeReady(thread);
    entry = object->WaitListHead.Flink;  // the list changed; start again from its head
  }
}

// Sleeps until the deadline; one that has passed gives the other ready threads a turn.
NTSTATUS Delay(VirtualTime deadline, const char* call) {
  CheckPassive(rule::kSleepAbovePassive, call);
  Scheduler& scheduler = Simulation::Current().scheduler();
  if (deadline <= Simulation::Current().Now()) {
    scheduler.Yield();
    return STATUS_SUCCESS;
  }
  scheduler.Block(WaitKind::kSleep, call, deadline);
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace host

extern "C" {

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  event->Header.Type = static_cast<UCHAR>(type);
  event->Header.SignalState = state ? 1 : 0;
  InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PKEVENT event, KPRIORITY, BOOLEAN) {
  if (!host::IsInitializedEvent(&event->Header, "KeSetEvent")) return 0;
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  host::SatisfyWaiters(&event->Header);
  host::Simulation::Current().scheduler().SchedulingPoint();
  return previous;
}

LONG KeResetEvent(PKEVENT event) {
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

void KeClearEvent(PKEVENT event) { event->Header.SignalState = 0; }

LONG KeReadStateEvent(PKEVENT event) { return event->Header.SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
  return host::Wait(1, &object, WaitAny, timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType,
                                  KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                  PLARGE_INTEGER timeout, PKWAIT_BLOCK waitBlockArray) {
  if (count > THREAD_WAIT_OBJECTS && waitBlockArray == nullptr) {
    host::Simulation::Current().verifier().Report(
        host::rule::kBadArgument, "KeWaitForMultipleObjects",
        "more than three objects need a caller's wait-block array");
  }
  return host::Wait(count, objects, waitType, timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (interval == nullptr) {
    host::Simulation::Current().verifier().Report(host::rule::kBadArgument,
                                                  "KeDelayExecutionThread", "no interval");
    return STATUS_INVALID_PARAMETER;
  }
  return host::Delay(host::Deadline(interval), "KeDelayExecutionThread");
}

void NdisMSleep(ULONG microsecondsToSleep) {
  host::Delay(host::Simulation::Current().Now() +
                  static_cast<host::VirtualTime>(microsecondsToSleep) * host::kMicrosecond,
              "NdisMSleep");
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
  currentTime->QuadPart = host::kSystemTimeBase + host::Simulation::Current().Now();
}

}  // extern "C"
