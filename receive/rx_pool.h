// The receive buffer pool: the fourteen RxBuffers with their packets and data areas, the
// receive packet and buffer pools, the two receive lists with rxLock, and the read
// buffer. Set up and released at PASSIVE_LEVEL while no transfer is outstanding.
#pragma once

#include "miniport/ir_device.h"
#include "platform/ndis.h"

// Builds the pool; the first failure ends it and is returned (the status NDIS gave for a
// pool or packet, NDIS_STATUS_RESOURCES for memory). The caller then runs the release.
// Leaves the decoder hunting, and all fourteen buffers on rxFreeList in index order.
NDIS_STATUS SetupReceivePool(IrDevice* irDevice);

// Frees whatever the set-up built, also after a set-up that failed part way, and clears
// what it freed, so that it may run twice.
void ReleaseReceivePool(IrDevice* irDevice);

// Unchains the NDIS buffer that describes a frame from its packet, if there is one, and
// frees it.
void FreeFrameDescriptor(PNDIS_PACKET packet);
