// System threads: each is a simulated thread named after its start routine. A handle is
// the thread itself; PsTerminateSystemThread parks the thread for good.
#include "host/kernel/pool.h"
#include "host/kernel/scheduler.h"
#include "platform/kernel.h"

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext) {
  host::Simulation& simulation = host::Simulation::Current();
  if (simulation.faults().ShouldFail()) return STATUS_INSUFFICIENT_RESOURCES;
  std::string name = host::DescribeCodeAddress(reinterpret_cast<const void*>(startRoutine));
  if (auto plus = name.find('+'); plus != std::string::npos) name.resize(plus);
  host::SimThread* thread = simulation.scheduler().CreateThread(
      name, [startRoutine, startContext] { startRoutine(startContext); });
  *threadHandle = thread;
  if (clientId != nullptr) *clientId = CLIENT_ID{nullptr, thread};
  simulation.scheduler().SchedulingPoint();
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
  host::Simulation::Current().scheduler().Park();
}

PKTHREAD KeGetCurrentThread() { return reinterpret_cast<PKTHREAD>(&host::CurrentThread()); }

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
  auto* simThread = reinterpret_cast<host::SimThread*>(thread);
  KPRIORITY old = simThread->priority;
  simThread->priority = priority;
  return old;
}

NTSTATUS ZwClose(HANDLE handle) {
  host::Simulation& simulation = host::Simulation::Current();
  for (auto& thread : simulation.scheduler().threads()) {
    if (thread.get() != handle) continue;
    if (!thread->handleOpen) break;
    thread->handleOpen = false;
    return STATUS_SUCCESS;
  }
  simulation.verifier().Report(host::rule::kBadArgument, "ZwClose",
                               "the handle is not an open thread handle");
  return STATUS_INVALID_HANDLE;
}

}  // extern "C"
