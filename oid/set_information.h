// The NDIS set handler: link speed (on the worker thread), media-busy detection, power.
// Runs at up to DISPATCH_LEVEL, except the power changes, which NDIS issues at
// PASSIVE_LEVEL and which block.
#pragma once

#include "miniport/ir_device.h"
#include "miniport/work_item.h"
#include "platform/ndis.h"

NDIS_STATUS MiniportSetInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                   PVOID informationBuffer, ULONG informationBufferLength,
                                   PULONG bytesRead, PULONG bytesNeeded);

// Work routine (SetLinkSpeedWork): moves the link to targetSpeed and completes the set.
NTSTATUS SetSpeedWorker(WorkItem* item);

// D3 and D0 where the driver manages power itself; nothing elsewhere.
NTSTATUS IrPowerDown(IrDevice* device);
NTSTATUS IrPowerUp(IrDevice* device);
