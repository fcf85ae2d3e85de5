// The NDIS query handler: the supported-OID list, the medium's fixed properties, the
// counters and the IrDA properties, all answered at once except media busy, which may be
// answered from the worker thread. Runs at up to DISPATCH_LEVEL and never blocks.
#pragma once

#include "miniport/ir_device.h"
#include "miniport/work_item.h"
#include "platform/ndis.h"

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                     PVOID informationBuffer, ULONG informationBufferLength,
                                     PULONG bytesWritten, PULONG bytesNeeded);

// Work routine (MediaBusyWork): asks the bridge whether the medium has seen traffic and
// completes the pended query.
NTSTATUS MediaBusyWorker(WorkItem* item);

// The supported-OID list, in the order the list query reports it.
const NDIS_OID* SupportedOids(ULONG* count);
