// Work items and the adapter's worker thread: blocking work (speed changes, reset, the
// media-busy query, restarting the receive loop) queued from any IRQL up to
// DISPATCH_LEVEL and run one item at a time, in queue order, at PASSIVE_LEVEL.
#pragma once

#include "miniport/ir_device.h"
#include "platform/kernel.h"

// What a work item does; recorded at queueing, not interpreted by the worker thread.
enum WorkKind : ULONG {
  RestartReceiveWork = 0,
  SetLinkSpeedWork = 1,
  ResetWork = 2,
  MediaBusyWork = 3,
  RawExchangeWork = 4,  // the raw transceiver exchange; its caller waits for it
};

// The head of a request whose caller waits for its work item (RawExchangeWork): the item's
// buffer points to it. An item that never runs because the thread stops still releases
// its caller, with STATUS_CANCELLED.
struct WaitingRequest {
  KEVENT done;  // notification event
  NTSTATUS status;
};

struct WorkItem;
// A work routine owns its item and frees it with FreeWorkItem before it returns.
typedef NTSTATUS (*WorkRoutine)(WorkItem* item);

struct WorkItem {
  WorkKind kind;
  IrDevice* device;     // the adapter the work is for
  WorkRoutine routine;
  PVOID buffer;         // optional argument (the media-busy query's information buffer)
  ULONG bufferLength;
  LIST_ENTRY link;      // in the adapter's workQueue, under workLock
};

// STATUS_SUCCESS when queued; STATUS_UNSUCCESSFUL when no item could be allocated, and
// then nothing is queued or signalled. Any IRQL up to DISPATCH_LEVEL; never blocks.
NTSTATUS QueueWorkItem(WorkKind kind, IrDevice* device, WorkRoutine routine, PVOID buffer,
                       ULONG bufferLength);
void FreeWorkItem(WorkItem* item);

// Start routine of the adapter's system thread; the start context is the IrDevice. Ends
// when stopEvent is signalled: items still queued are freed without running, their
// requests completed with a failure (NDIS's, or a waiting caller's), and the thread clears
// workerThreadHandle as its last access to the IrDevice.
void WorkerThread(PVOID context);
