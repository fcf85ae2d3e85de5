// Spin locks, IRQL, interlocked counters and the interlocked list calls. A lock holds the
// address of the simulated thread that owns it; a thread that finds it taken spins, that
// is, blocks until the owner releases it.
#include <algorithm>
#include <cstdio>

#include "host/kernel/scheduler.h"
#include "platform/kernel.h"

namespace host {
namespace {


KIRQL AcquireLock(PKSPIN_LOCK lock, const char* call) {
  Scheduler& scheduler = Simulation::Current().scheduler();
  Verifier& verifier = Simulation::Current().verifier();
  SimThread& self = CurrentThread();
  scheduler.SchedulingPoint();
  if (*lock == reinterpret_cast<KSPIN_LOCK>(&self)) {
    // A real kernel would spin here for ever. The host counts the acquisition instead, so
    // that the matching release does not free the outer one and nothing else is reported.
    verifier.Report(rule::kLockRecursive, call,
                    "lock " + DescribeAddress(lock) + " is already held by this thread");
    self.heldLocks.push_back(lock);
    self.irqlsBeforeLocks.push_back(self.irql);
    return self.irql;
  }
  if (!self.heldLocks.empty()) {
    verifier.Report(rule::kTwoLocks, call,
                    "acquiring lock " + DescribeAddress(lock) + " while holding lock " +
                        DescribeAddress(self.heldLocks.back()));
  }
  if (*lock != 0 && scheduler.FindThread(reinterpret_cast<const void*>(*lock)) == nullptr) {
    // Not zero and not a thread: KeInitializeSpinLock never ran on it. Spinning would never
    // end, so the lock is taken as if it had been initialized.
    verifier.Report(rule::kBadArgument, call,
                    "lock " + DescribeAddress(lock) + " is not initialized (it holds " +
                        DescribeAddress(reinterpret_cast<const void*>(*lock)) + ")");
    *lock = 0;
  }
  self.spinTicket = scheduler.NextSpinTicket();
  while (*lock != 0) {
    self.spinningOn = lock;
    scheduler.Block(WaitKind::kSpinLock, call);
  }
  self.spinningOn = nullptr;
  *lock = reinterpret_cast<KSPIN_LOCK>(&self);
  KIRQL old = self.irql;
  self.heldLocks.push_back(lock);
  self.irqlsBeforeLocks.push_back(old);
  self.irql = std::max(self.irql, DISPATCH_LEVEL);
  return old;
}

void ReleaseLock(PKSPIN_LOCK lock, KIRQL newIrql, const char* call) {
  Scheduler& scheduler = Simulation::Current().scheduler();
  SimThread& self = CurrentThread();
  if (*lock != reinterpret_cast<KSPIN_LOCK>(&self)) {
    Simulation::Current().verifier().Report(
        rule::kLockNotHeld, call, "lock " + DescribeAddress(lock) + " is not held by this thread");
    return;
  }
  // The latest acquisition of this lock ends (there are several only after a reported
  // recursive acquisition).
  auto held = std::find(self.heldLocks.rbegin(), self.heldLocks.rend(), lock).base() - 1;
  auto before = self.irqlsBeforeLocks.begin() + (held - self.heldLocks.begin());
  if (newIrql != *before) {
    // Lowering to another level than the acquisition left would, for instance, drop a
    // DPC below DISPATCH_LEVEL.
    Simulation::Current().verifier().Report(
        rule::kLockIrql, call,
        "lock " + DescribeAddress(lock) + " released to IRQL " + std::to_string(newIrql) +
            ", but it was acquired at IRQL " + std::to_string(*before));
  }
  self.heldLocks.erase(held);
  self.irqlsBeforeLocks.erase(before);
  self.irql = newIrql;
  if (std::find(self.heldLocks.begin(), self.heldLocks.end(), lock) != self.heldLocks.end()) {
    return;
  }
  *lock = 0;
  scheduler.WakeSpinner(lock);
  scheduler.SchedulingPoint();
}

}  // namespace
}  // namespace host

using host::AcquireLock;
using host::ReleaseLock;

extern "C" {

void KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

KIRQL KfAcquireSpinLock(PKSPIN_LOCK lock) { return AcquireLock(lock, "KfAcquireSpinLock"); }

void KfReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  ReleaseLock(lock, newIrql, "KfReleaseSpinLock");
}

KIRQL KeGetCurrentIrql() { return host::CurrentThread().irql; }

LONG InterlockedIncrement(LONG volatile* addend) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  LONG value = *addend + 1;
  *addend = value;
  return value;
}

LONG InterlockedDecrement(LONG volatile* addend) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  LONG value = *addend - 1;
  *addend = value;
  return value;
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  LONG old = *target;
  *target = value;
  return old;
}

LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  LONG old = *destination;
  if (old == comparand) *destination = exchange;
  return old;
}

PLIST_ENTRY ExfInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry,
                                         PKSPIN_LOCK lock) {
  KIRQL old = AcquireLock(lock, "ExfInterlockedInsertTailList");
  PLIST_ENTRY previous = IsListEmpty(head) ? nullptr : head->Blink;
  InsertTailList(head, entry);
  ReleaseLock(lock, old, "ExfInterlockedInsertTailList");
  return previous;
}

PLIST_ENTRY ExfInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry,
                                         PKSPIN_LOCK lock) {
  KIRQL old = AcquireLock(lock, "ExfInterlockedInsertHeadList");
  PLIST_ENTRY previous = IsListEmpty(head) ? nullptr : head->Flink;
  InsertHeadList(head, entry);
  ReleaseLock(lock, old, "ExfInterlockedInsertHeadList");
  return previous;
}

PLIST_ENTRY ExfInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock) {
  KIRQL old = AcquireLock(lock, "ExfInterlockedRemoveHeadList");
  PLIST_ENTRY entry = IsListEmpty(head) ? nullptr : RemoveHeadList(head);
  ReleaseLock(lock, old, "ExfInterlockedRemoveHeadList");
  return entry;
}

}  // extern "C"
