// Work items and the worker thread. Producers run at up to DISPATCH_LEVEL; only the
// worker thread, at PASSIVE_LEVEL, takes items off the queue.
#include "miniport/work_item.h"

#include "platform/access_once.h"
#include "platform/ndis.h"

namespace {

// With a lower device the thread looks at its queue at least this often (relative,
// 100 ns units), signal or not.
constexpr LONGLONG kWorkerPollInterval = -30'000'000;

WorkItem* TakeNextItem(IrDevice* device) {
  PLIST_ENTRY entry = ExfInterlockedRemoveHeadList(&device->workQueue, &device->workLock);
  return entry == nullptr ? nullptr : CONTAINING_RECORD(entry, WorkItem, link);
}

// Frees an item that will never run, completing the request it was queued for: NDIS's
// with NDIS_STATUS_FAILURE, a waiting caller's with STATUS_CANCELLED.
void AbandonWorkItem(WorkItem* item) {
  NDIS_HANDLE adapter = item->device->miniportHandle;
  switch (item->kind) {
    case RestartReceiveWork:
      break;
    case SetLinkSpeedWork:
      NdisMSetInformationComplete(adapter, NDIS_STATUS_FAILURE);
      break;
    case ResetWork:
      NdisMResetComplete(adapter, NDIS_STATUS_FAILURE, TRUE);
      break;
    case MediaBusyWork:
      NdisMQueryInformationComplete(adapter, NDIS_STATUS_FAILURE);
      break;
    case RawExchangeWork: {
      auto* request = static_cast<WaitingRequest*>(item->buffer);
      request->status = STATUS_CANCELLED;
      KeSetEvent(&request->done, 0, FALSE);
      break;
    }
  }
  FreeWorkItem(item);
}

}  // namespace

NTSTATUS QueueWorkItem(WorkKind kind, IrDevice* device, WorkRoutine routine, PVOID buffer,
                       ULONG bufferLength) {
  PVOID memory = nullptr;
  if (NdisAllocateMemoryWithTag(&memory, sizeof(WorkItem), kDriverTag) != NDIS_STATUS_SUCCESS) {
    return STATUS_UNSUCCESSFUL;
  }
  auto* item = static_cast<WorkItem*>(memory);
  item->kind = kind;
  item->buffer = buffer;
  item->bufferLength = bufferLength;
  item->routine = routine;
  item->device = device;
  ExfInterlockedInsertTailList(&device->workQueue, &item->link, &device->workLock);
  KeSetEvent(&device->workEvent, 0, FALSE);
  return STATUS_SUCCESS;
}

void FreeWorkItem(WorkItem* item) { NdisFreeMemory(item, sizeof(WorkItem), 0); }

void WorkerThread(PVOID context) {
  auto* device = static_cast<IrDevice*>(context);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);

  PVOID events[2] = {&device->workEvent, &device->stopEvent};
  for (;;) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kWorkerPollInterval;
    NTSTATUS status = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                               device->lowerDevice ? &timeout : nullptr, nullptr);
    if (status == STATUS_WAIT_1) break;
    if (status != STATUS_WAIT_0 && status != STATUS_TIMEOUT) continue;
    // Items queued while the drain runs are run in the same drain; their signals only
    // make the next wait return at once to an empty queue. A stop signalled meanwhile
    // ends the drain after the running item: what is still queued is not run.
    while (KeReadStateEvent(&device->stopEvent) == 0) {
      WorkItem* item = TakeNextItem(device);
      if (item == nullptr) break;
      item->routine(item);
    }
  }

  while (WorkItem* item = TakeNextItem(device)) AbandonWorkItem(item);
  WriteOnce(device->workerThreadHandle, HANDLE{nullptr});
  PsTerminateSystemThread(STATUS_SUCCESS);
}
