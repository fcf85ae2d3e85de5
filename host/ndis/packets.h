// The host's NDIS packet and buffer descriptors: packet pools, buffer pools, packets with
// their out-of-band data, buffers and their chains, and the verifier's checks on them.
// The calls run on any simulated thread at any IRQL and never block.
//
// What it simulates: a packet pool holds exactly the number of descriptors it was made
// with, and NdisAllocatePacket fails with NDIS_STATUS_RESOURCES while all are in use (the
// descriptor of a freed packet is handed out again). A buffer pool, as on NT, only names
// its count: buffer descriptors come from the system and are not limited by it. Every
// allocation call asks the fault injector first. Packets carry a status, a header size
// and media-specific information, kept by the host beside the packet; a freshly
// allocated packet has none of them, and its reserved areas hold 0xCD, not zeros.
// What it does not: packet stacks, cancel identifiers, per-packet extensions, physical
// addresses, and the pool growth of the extended pool calls.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/ndis.h"

namespace host {

namespace rule {
inline constexpr std::string_view kNdisUnknownDescriptor = "ndis.unknown_descriptor";
inline constexpr std::string_view kNdisPacketPoolInUse = "ndis.packet_pool_freed_in_use";
inline constexpr std::string_view kNdisBufferPoolInUse = "ndis.buffer_pool_freed_in_use";
inline constexpr std::string_view kNdisPoolLeak = "ndis.pool_leak";
inline constexpr std::string_view kNdisFreeHeldPacket = "ndis.free_packet_held_by_protocol";
}  // namespace rule

namespace ndis {

// What a protocol does to a packet before it sends it: attaches media-specific
// information (the record stays the caller's) and sets the flag that says so.
void SetPacketMediaSpecificInfo(PNDIS_PACKET packet, PVOID information, UINT size);
// Chains a buffer at the end of the packet's chain, as a protocol builds a send packet.
void ChainBufferAtBack(PNDIS_PACKET packet, PNDIS_BUFFER buffer);
// The packet's out-of-band values, for assertions.
UINT PacketHeaderSize(PNDIS_PACKET packet);
void SetPacketStatus(PNDIS_PACKET packet, NDIS_STATUS status);
// The bytes the packet's chain describes, in chain order, up to its total length.
std::vector<UCHAR> PacketBytes(PNDIS_PACKET packet);

// Live descriptors, for assertions.
std::size_t LivePacketPools();
std::size_t LiveBufferPools();
std::size_t PacketsInUse(NDIS_HANDLE packetPool);
std::size_t BuffersInUse(NDIS_HANDLE bufferPool);

// Marks a packet or buffer pool as the bound protocol's own, so that checkpoints of the
// driver's resources pass over it.
void MarkProtocolPool(NDIS_HANDLE pool);
// A checkpoint (an adapter halted, a failed initialization returned): reports every
// packet pool and buffer pool still allocated as a leak; returns how many there were.
std::size_t CheckLeaks(const char* checkpoint);

// Whether the bound protocol holds the packet now; the indication's record keeps this.
bool IsHeldByProtocol(PNDIS_PACKET packet);

}  // namespace ndis
}  // namespace host
