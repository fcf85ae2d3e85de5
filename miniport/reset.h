// Adapter reset: MiniportReset marks the adapter and queues the work; ResetWorker rebuilds
// the line settings, the speed and the receive loop on the worker thread and completes
// the reset to NDIS.
#pragma once

#include "miniport/ir_device.h"
#include "miniport/work_item.h"
#include "platform/ndis.h"

NDIS_STATUS MiniportReset(PBOOLEAN addressingReset, NDIS_HANDLE miniportAdapterContext);
NTSTATUS ResetWorker(WorkItem* item);
NDIS_STATUS IrReinitialize(IrDevice* device);
