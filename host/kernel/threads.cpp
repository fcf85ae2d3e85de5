// System threads: each is a simulated thread named after its start routine. A handle is
// the thread itself; PsTerminateSystemThread parks the thread for good.
#include "host/kernel/pool.h"
#include "host/kernel/scheduler.h"
#include "platform/kernel.h"

namespace host {
namespace {

// The start routine's name (or "SystemThread" where the symbol cannot be found, as for
// routines with internal linkage), numbered so that reports tell threads apart:
// "WorkerThread#1", "WorkerThread#2".
std::string SystemThreadName(const Scheduler& scheduler, PKSTART_ROUTINE startRoutine) {
  std::string base = DescribeCodeAddress(reinterpret_cast<const void*>(startRoutine));
  auto plus = base.find("+0x");
  if (plus == std::string::npos) {
    base = "SystemThread";
  } else {
    base.resize(plus);
  }
  std::string prefix = base + "#";
  int number = 1;
  for (auto& thread : scheduler.threads()) {
    number += thread->name().compare(0, prefix.size(), prefix) == 0;
  }
  return prefix + std::to_string(number);
}

}  // namespace
}  // namespace host

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext) {
  host::Simulation& simulation = host::Simulation::Current();
  if (simulation.faults().ShouldFail()) return STATUS_INSUFFICIENT_RESOURCES;
  host::SimThread* thread = simulation.scheduler().CreateThread(
      host::SystemThreadName(simulation.scheduler(), startRoutine),
      [startRoutine, startContext] { startRoutine(startContext); });
  *threadHandle = thread;
  if (clientId != nullptr) *clientId = CLIENT_ID{nullptr, thread};
  simulation.scheduler().SchedulingPoint();
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
  host::Simulation& simulation = host::Simulation::Current();
  host::SimThread& self = host::CurrentThread();
  if (!simulation.scheduler().IsSystemThread(&self)) {
    // The thread still ends for good (the call never returns); a test thread that ends
    // this way ends the run.
    simulation.verifier().Report(host::rule::kNotSystemThread, "PsTerminateSystemThread",
                                 "called on the " + self.name() +
                                     " thread, which PsCreateSystemThread did not create");
  }
  simulation.scheduler().Park();
}

PKTHREAD KeGetCurrentThread() { return reinterpret_cast<PKTHREAD>(&host::CurrentThread()); }

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
  host::Simulation& simulation = host::Simulation::Current();
  host::SimThread* simThread = simulation.scheduler().FindThread(thread);
  if (simThread == nullptr) {
    simulation.verifier().Report(host::rule::kBadArgument, "KeSetPriorityThread",
                                 "the pointer is not a thread");
    return 0;
  }
  KPRIORITY old = simThread->priority;
  simThread->priority = priority;
  return old;
}

NTSTATUS ZwClose(HANDLE handle) {
  host::Simulation& simulation = host::Simulation::Current();
  host::SimThread* thread = simulation.scheduler().FindThread(handle);
  if (thread != nullptr && thread->handleOpen) {
    thread->handleOpen = false;
    return STATUS_SUCCESS;
  }
  simulation.verifier().Report(host::rule::kBadArgument, "ZwClose",
                               "the handle is not an open thread handle");
  return STATUS_INVALID_HANDLE;
}

}  // extern "C"
