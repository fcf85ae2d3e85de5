// The receive indication and the packet return: a finished frame's FCS is tested and
// the frame indicated to NDIS in place; NDIS hands the packet back through
// MiniportReturnPacket and the buffer goes back on the free list. Everything here runs at
// up to DISPATCH_LEVEL and takes rxLock only for short list steps.
#pragma once

#include "miniport/ir_device.h"
#include "platform/ndis.h"

// Tests and indicates the frame of dataLength bytes (FCS included) in rxCurrent and gives
// rxCurrent a spare buffer. Returns the packet's status after the indication, or
// NDIS_STATUS_FAILURE when the frame was dropped (bad FCS, no spare buffer, no buffer
// descriptor). Called by the decoder without rxLock.
NDIS_STATUS IndicateReceivePacket(IrDevice* irDevice);

// Puts an indicated buffer back at the tail of rxFreeList. Caller holds rxLock.
void RecycleReceiveBuffer(IrDevice* irDevice, RxBuffer* buffer);

// NDIS's return-packet handler: a packet kept after its indication comes back.
void MiniportReturnPacket(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet);
