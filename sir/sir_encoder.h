// The SIR frame encoder: turns one outgoing NDIS packet (an IrLAP frame) into the bytes
// written to the bulk-out pipe. Runs on the send path at up to DISPATCH_LEVEL, one frame
// at a time.
#pragma once

#include "miniport/ir_device.h"
#include "platform/ndis.h"

// The packet's IrDA information (extra BOFs, minimum turnaround time), or null when the
// packet carries no media-specific information large enough to hold it.
PNDIS_IRDA_PACKET_INFO GetPacketIrdaInfo(PNDIS_PACKET packet);

// Writes the packet's SIR frame into out (capacity bytes). TRUE: the frame is in out and
// its length in *frameLength. FALSE: the packet cannot be framed; *frameLength is then
// left alone for a packet under 2 bytes or without buffers, holds the packet's length
// when it is too long for the limit or the capacity, and 0 when the chain holds fewer
// bytes than the packet claims. Reads and may clear applyTurnaround.
BOOLEAN SirEncodeFrame(IrDevice* irDevice, PNDIS_PACKET packet, PUCHAR out, ULONG capacity,
                       PULONG frameLength);
