// The transmit path: one packet in flight on the bulk-out pipe, the others in a queue
// linked through their MiniportReserved areas, every packet completed to NDIS once.
// MiniportSend runs at up to DISPATCH_LEVEL; SendComplete in the bus's completion context.
#pragma once

#include "miniport/ir_device.h"
#include "platform/kernel.h"
#include "platform/ndis.h"

// The NDIS send handler.
NDIS_STATUS MiniportSend(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet, UINT flags);

// Frames the packet into txBuffer and posts its bulk-out write. *sendStarted is TRUE when
// the write reached the bus, so that SendComplete will run for it.
NTSTATUS StartSend(IrDevice* device, PNDIS_PACKET packet, UINT flags, BOOLEAN* sendStarted);

// Completion routine of every bulk-out write.
NTSTATUS SendComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Completes the packet in flight and every queued one with NDIS_STATUS_FAILURE, in
// queue order and the current one last, and leaves the path idle. For halt and reset,
// once no write is outstanding.
void FailHeldSends(IrDevice* device);

// Ends the hold a reset puts on new sends (holdingSends) and starts the packets queued
// meanwhile, in order.
void ResumeHeldSends(IrDevice* device);

// Transmit parts of the adapter's resource set-up and release.
NDIS_STATUS SetupTransmit(IrDevice* device);
void ReleaseTransmit(IrDevice* device);
