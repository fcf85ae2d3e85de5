// The SIR frame decoder: finds frames in the byte stream of the bulk-in pipe, removes the
// stuffing and collects each frame straight into rxCurrent. Runs in the read completion
// at up to DISPATCH_LEVEL; one read completion at a time, so it takes no lock. Its state
// lives in the IrDevice between reads.
#pragma once

#include "miniport/ir_device.h"
#include "platform/ndis.h"

// Feeds count received bytes to the decoder; each complete frame of 4 to 2052 bytes goes
// to IndicateReceivePacket. Returns the status of the last indication of this call, or
// NDIS_STATUS_SUCCESS when there was none. The caller has set rxCurrent.
NDIS_STATUS SirDecodeBytes(IrDevice* irDevice, const UCHAR* bytes, ULONG count);
