// Cancelling a request in flight through a pointer that its completion clears and frees:
// while a canceller holds the guard, a completion that arrives hands itself over instead
// of running (so the IRP it would free stays alive for IoCancelIrp), and the canceller
// runs it when it lets go. Canceller at PASSIVE_LEVEL, completion at up to DISPATCH_LEVEL;
// no lock is held across either.
#pragma once

#include "platform/kernel.h"

struct CancelGuard {
  LONG volatile state;  // CancelGuardState
  PVOID handedOver;     // the completion's context while it waits for the canceller
};

enum CancelGuardState : LONG { kGuardOpen = 0, kGuardCancelling = 1, kGuardHandedOver = 2 };

// True when the caller now holds the guard; false when another canceller does.
inline bool EnterCancel(CancelGuard* guard) {
  return InterlockedCompareExchange(&guard->state, kGuardCancelling, kGuardOpen) == kGuardOpen;
}

// Lets go of the guard. Returns the context of a completion that was handed over
// meanwhile, which the caller must now finish, or null.
inline PVOID LeaveCancel(CancelGuard* guard) {
  LONG previous = InterlockedExchange(&guard->state, kGuardOpen);
  return previous == kGuardHandedOver ? guard->handedOver : nullptr;
}

// Called by a completion after it cleared the pointer cancellers read. True when a
// canceller holds the guard and will finish the completion; false when the completion
// goes on itself.
inline bool HandOverCompletion(CancelGuard* guard, PVOID context) {
  guard->handedOver = context;
  return InterlockedCompareExchange(&guard->state, kGuardHandedOver, kGuardCancelling) ==
         kGuardCancelling;
}
