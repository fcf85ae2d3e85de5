// Bringing an adapter up and down: MiniportInitialize and MiniportHalt, the resource
// set-up and release they share, and the two bridge steps used by initialization, halt
// and reset. All of it runs at PASSIVE_LEVEL and may sleep.
#pragma once

#include "miniport/ir_device.h"
#include "platform/ndis.h"

NDIS_STATUS MiniportInitialize(PNDIS_STATUS openErrorStatus, PUINT selectedMediumIndex,
                               PNDIS_MEDIUM mediumArray, UINT mediumArraySize,
                               NDIS_HANDLE miniportAdapterHandle,
                               NDIS_HANDLE wrapperConfigurationContext);
void MiniportHalt(NDIS_HANDLE miniportAdapterContext);

// Allocates everything the data path needs; on failure releases what it built.
NDIS_STATUS SetupResources(IrDevice* device);
// Frees what is present and clears it; safe on a partly built record and when run twice.
void ReleaseResources(IrDevice* device);

// NDIS_STATUS_SUCCESS when the bridge started, NDIS_STATUS_OPEN_FAILED otherwise.
NDIS_STATUS OpenBridge(IrDevice* device);
NDIS_STATUS CloseBridge(IrDevice* device);

// Cancels the bulk transfers and sleeps 20 ms at a time until neither a write nor a read is
// outstanding, at most 501 times; then forces both flags down (reporting it when asked)
// and answers false. Cancels again before each sleep: a transfer posted meanwhile ends too.
bool WaitForTransfers(IrDevice* device, bool reportTimeout);
