// Run-wide bookkeeping of the host's NDIS descriptors (kept in Simulation::Extension): the
// live packet pools and buffer pools, and for each live packet its out-of-band values.
// Internal to host/ndis; tests use packets.h and miniport_block.h.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/ndis.h"

namespace host::ndis {

struct PacketPool;

// What NDIS keeps beside a packet.
struct PacketRecord {
  PacketPool* pool = nullptr;
  std::size_t slot = 0;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  UINT headerSize = 0;
  PVOID mediaSpecificInformation = nullptr;
  UINT mediaSpecificInformationSize = 0;
  bool heldByProtocol = false;  // indicated and kept, not yet returned
};

struct PacketSlot {
  std::unique_ptr<std::max_align_t[]> memory;  // the NDIS_PACKET and its reserved room
  PacketRecord record;
  bool inUse = false;

  PNDIS_PACKET packet() const { return reinterpret_cast<PNDIS_PACKET>(memory.get()); }
};

struct PacketPool {
  UINT protocolReservedLength = 0;
  std::size_t packetBytes = 0;
  std::vector<PacketSlot> slots;  // one per descriptor, made with the pool
  std::vector<std::size_t> freeSlots;  // taken from the back
  std::size_t inUse = 0;
  bool protocolOwned = false;  // the bound protocol's: not the driver's to free
};

struct BufferPool {
  UINT count = 0;  // as the driver asked; not a limit
  bool protocolOwned = false;
  std::map<const NDIS_BUFFER*, std::unique_ptr<NDIS_BUFFER>> live;
};

struct NdisObjects {
  std::map<const void*, std::unique_ptr<PacketPool>> packetPools;
  std::map<const void*, std::unique_ptr<BufferPool>> bufferPools;
  std::unordered_map<const NDIS_PACKET*, PacketRecord*> packets;  // live packets
  std::unordered_map<const NDIS_BUFFER*, BufferPool*> buffers;    // live buffers
};

NdisObjects& Objects();

// The record of a live packet; reports an unknown one for `call` and yields null.
PacketRecord* FindPacket(const NDIS_PACKET* packet, const char* call);

}  // namespace host::ndis
