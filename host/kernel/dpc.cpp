// Deferred procedure calls: a queued DPC runs once on the completion thread at
// DISPATCH_LEVEL; queueing it again before it ran changes nothing. Runs on any simulated
// thread at any IRQL.
#include "host/kernel/scheduler.h"
#include "platform/kernel.h"

extern "C" {

void KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferredContext) {
  *dpc = KDPC{};
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = deferredContext;
}

BOOLEAN KeInsertQueueDpc(PKDPC dpc, PVOID systemArgument1, PVOID systemArgument2) {
  host::Simulation& simulation = host::Simulation::Current();
  host::Scheduler& scheduler = simulation.scheduler();
  if (dpc->DpcData != nullptr) return FALSE;
  dpc->DpcData = dpc;
  dpc->SystemArgument1 = systemArgument1;
  dpc->SystemArgument2 = systemArgument2;
  simulation.Extension<host::QueuedDpcs>().queued.insert(dpc);
  scheduler.PostCompletion([dpc, &simulation] {
    // A free of the DPC's memory withdrew it (and was reported): nothing is left to run.
    if (simulation.Extension<host::QueuedDpcs>().queued.erase(dpc) == 0) return;
    dpc->DpcData = nullptr;
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1,
                         dpc->SystemArgument2);
  });
  scheduler.SchedulingPoint();
  return TRUE;
}

}  // extern "C"
