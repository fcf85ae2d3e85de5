// Executive pool and NDIS memory. Frees are checked against the allocation, and against
// kernel objects still in use inside the freed memory (a waiter, a queued DPC).
#include "host/kernel/pool.h"
#include "host/kernel/scheduler.h"
#include "platform/ndis.h"

namespace host {
namespace {

constexpr std::size_t kCacheLine = 64;

void CheckObjectsInside(const void* pointer, const char* call) {
  Simulation& simulation = Simulation::Current();
  const PoolAllocation* allocation = simulation.pool().Find(pointer);
  if (allocation == nullptr) return;
  auto begin = static_cast<const char*>(pointer);
  if (const SimThread* waiter = simulation.scheduler().WaiterInRange(pointer, allocation->size)) {
    simulation.verifier().Report(rule::kPoolFreeWithWaiter, call,
                                 "the memory holds an object that " + waiter->name() +
                                     " waits on");
  }
  std::set<const KDPC*>& queued = simulation.Extension<QueuedDpcs>().queued;
  for (auto dpc = queued.begin(); dpc != queued.end();) {
    auto at = reinterpret_cast<const char*>(*dpc);
    if (at >= begin && at < begin + allocation->size) {
      simulation.verifier().Report(rule::kPoolFreeQueuedDpc, call,
                                   "the memory holds a DPC that is still queued");
      dpc = queued.erase(dpc);  // it must not run on freed memory
    } else {
      ++dpc;
    }
  }
}

}  // namespace
}  // namespace host

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T numberOfBytes, ULONG tag) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  std::size_t alignment = type == NonPagedPoolCacheAligned ? host::kCacheLine : 16;
  return host::Simulation::Current().pool().Allocate(host::PoolKind::kExecutive, numberOfBytes,
                                                     tag, alignment, __builtin_return_address(0),
                                                     "ExAllocatePoolWithTag");
}

void ExFreePool(PVOID pointer) {
  host::CheckObjectsInside(pointer, "ExFreePool");
  host::Simulation::Current().pool().Free(host::PoolKind::kExecutive, pointer, 0, "ExFreePool");
}

NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* virtualAddress, UINT length, ULONG tag) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  *virtualAddress = host::Simulation::Current().pool().Allocate(
      host::PoolKind::kNdis, length, tag, 16, __builtin_return_address(0),
      "NdisAllocateMemoryWithTag");
  return *virtualAddress == nullptr ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
}

void NdisFreeMemory(PVOID virtualAddress, UINT length, UINT memoryFlags) {
  host::Simulation& simulation = host::Simulation::Current();
  if (memoryFlags != 0) {
    simulation.verifier().Report(host::rule::kBadArgument, "NdisFreeMemory",
                                 "flags " + std::to_string(memoryFlags) +
                                     " for memory from NdisAllocateMemoryWithTag");
  }
  host::CheckObjectsInside(virtualAddress, "NdisFreeMemory");
  simulation.pool().Free(host::PoolKind::kNdis, virtualAddress, length, "NdisFreeMemory");
}

}  // extern "C"
