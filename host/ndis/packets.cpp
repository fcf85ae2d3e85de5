// Packet pools, buffer pools, packets, buffers and their chains: the NDIS calls and the
// host's helpers for building and inspecting packets.
#include "host/ndis/packets.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/kernel/scheduler.h"
#include "host/kernel/simulation.h"
#include "host/ndis/ndis_objects.h"

namespace host::ndis {
namespace {

constexpr ULONG kPageSize = 4096;
constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;


void ReportUnknown(const char* call, const char* what, const void* pointer) {
  Simulation::Current().verifier().Report(rule::kNdisUnknownDescriptor, call,
                                          std::string(what) + " " + DescribeAddress(pointer) +
                                              " is not a live descriptor of this run");
}

// One allocation that fault injection may fail, and a place where another thread may
// take over, as for every allocation call.
bool AllocationFails() {
  Simulation& simulation = Simulation::Current();
  simulation.scheduler().SchedulingPoint();
  return simulation.faults().ShouldFail();
}

PacketPool* FindPacketPool(NDIS_HANDLE handle, const char* call) {
  auto& pools = Objects().packetPools;
  auto found = pools.find(handle);
  if (found == pools.end()) {
    ReportUnknown(call, "packet pool", handle);
    return nullptr;
  }
  return found->second.get();
}

BufferPool* FindBufferPool(NDIS_HANDLE handle, const char* call) {
  auto& pools = Objects().bufferPools;
  auto found = pools.find(handle);
  if (found == pools.end()) {
    ReportUnknown(call, "buffer pool", handle);
    return nullptr;
  }
  return found->second.get();
}

bool IsLiveBuffer(const NDIS_BUFFER* buffer, const char* call) {
  if (Objects().buffers.count(buffer) != 0) return true;
  ReportUnknown(call, "buffer", buffer);
  return false;
}

ULONG SpanPages(const NDIS_BUFFER* buffer) {
  if (buffer->ByteCount == 0) return 1;
  return (buffer->ByteOffset + buffer->ByteCount + kPageSize - 1) / kPageSize;
}

// Brings the packet's cached counts up to date after a change of its chain.
void ValidateCounts(PNDIS_PACKET packet) {
  NDIS_PACKET_PRIVATE& header = packet->Private;
  if (header.ValidCounts) return;
  header.PhysicalCount = 0;
  header.Count = 0;
  header.TotalLength = 0;
  for (PNDIS_BUFFER buffer = header.Head; buffer != nullptr; buffer = buffer->Next) {
    header.PhysicalCount += SpanPages(buffer);
    header.Count += 1;
    header.TotalLength += buffer->ByteCount;
  }
  header.ValidCounts = TRUE;
}

PNDIS_BUFFER LastOfChain(PNDIS_BUFFER buffer) {
  while (buffer->Next != nullptr) buffer = buffer->Next;
  return buffer;
}

void ForgetPacketsOf(const PacketPool& pool) {
  for (const PacketSlot& slot : pool.slots) {
    if (slot.inUse) Objects().packets.erase(slot.packet());
  }
}

}  // namespace

NdisObjects& Objects() { return Simulation::Current().Extension<NdisObjects>(); }

PacketRecord* FindPacket(const NDIS_PACKET* packet, const char* call) {
  auto& packets = Objects().packets;
  auto found = packets.find(packet);
  if (found == packets.end()) {
    ReportUnknown(call, "packet", packet);
    return nullptr;
  }
  return found->second;
}

void SetPacketMediaSpecificInfo(PNDIS_PACKET packet, PVOID information, UINT size) {
  PacketRecord* record = FindPacket(packet, "SetPacketMediaSpecificInfo");
  if (record == nullptr) return;
  record->mediaSpecificInformation = information;
  record->mediaSpecificInformationSize = size;
  packet->Private.NdisPacketFlags |= fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO;
}

void ChainBufferAtBack(PNDIS_PACKET packet, PNDIS_BUFFER buffer) {
  if (FindPacket(packet, "ChainBufferAtBack") == nullptr ||
      !IsLiveBuffer(buffer, "ChainBufferAtBack")) {
    return;
  }
  NDIS_PACKET_PRIVATE& header = packet->Private;
  if (header.Head == nullptr) {
    header.Head = buffer;
  } else {
    header.Tail->Next = buffer;
  }
  header.Tail = LastOfChain(buffer);
  header.ValidCounts = FALSE;
}

UINT PacketHeaderSize(PNDIS_PACKET packet) {
  PacketRecord* record = FindPacket(packet, "PacketHeaderSize");
  return record == nullptr ? 0 : record->headerSize;
}

void SetPacketStatus(PNDIS_PACKET packet, NDIS_STATUS status) {
  if (PacketRecord* record = FindPacket(packet, "SetPacketStatus")) record->status = status;
}

std::vector<UCHAR> PacketBytes(PNDIS_PACKET packet) {
  std::vector<UCHAR> bytes;
  if (FindPacket(packet, "PacketBytes") == nullptr) return bytes;
  ValidateCounts(packet);
  UINT remaining = packet->Private.TotalLength;
  for (PNDIS_BUFFER buffer = packet->Private.Head; buffer != nullptr && remaining != 0;
       buffer = buffer->Next) {
    if (!IsLiveBuffer(buffer, "PacketBytes")) break;
    UINT take = std::min(remaining, buffer->ByteCount);
    const UCHAR* start = static_cast<const UCHAR*>(buffer->StartVa) + buffer->ByteOffset;
    bytes.insert(bytes.end(), start, start + take);
    remaining -= take;
  }
  return bytes;
}

std::size_t LivePacketPools() { return Objects().packetPools.size(); }
std::size_t LiveBufferPools() { return Objects().bufferPools.size(); }

std::size_t PacketsInUse(NDIS_HANDLE packetPool) {
  PacketPool* pool = FindPacketPool(packetPool, "PacketsInUse");
  return pool == nullptr ? 0 : pool->inUse;
}

std::size_t BuffersInUse(NDIS_HANDLE bufferPool) {
  BufferPool* pool = FindBufferPool(bufferPool, "BuffersInUse");
  return pool == nullptr ? 0 : pool->live.size();
}

void MarkProtocolPool(NDIS_HANDLE pool) {
  if (auto found = Objects().packetPools.find(pool); found != Objects().packetPools.end()) {
    found->second->protocolOwned = true;
  }
  if (auto found = Objects().bufferPools.find(pool); found != Objects().bufferPools.end()) {
    found->second->protocolOwned = true;
  }
}

std::size_t CheckLeaks(const char* checkpoint) {
  Verifier& verifier = Simulation::Current().verifier();
  std::size_t count = 0;
  for (auto& [handle, pool] : Objects().packetPools) {
    if (pool->protocolOwned) continue;
    ++count;
    verifier.Report(rule::kNdisPoolLeak, checkpoint,
                    "packet pool " + DescribeAddress(handle) + " of " +
                        std::to_string(pool->slots.size()) + " descriptors is still allocated");
  }
  for (auto& [handle, pool] : Objects().bufferPools) {
    if (pool->protocolOwned) continue;
    ++count;
    verifier.Report(rule::kNdisPoolLeak, checkpoint,
                    "buffer pool " + DescribeAddress(handle) + " of " + std::to_string(pool->count) +
                        " descriptors is still allocated");
  }
  return count;
}

bool IsHeldByProtocol(PNDIS_PACKET packet) {
  PacketRecord* record = FindPacket(packet, "IsHeldByProtocol");
  return record != nullptr && record->heldByProtocol;
}

}  // namespace host::ndis

using host::ndis::BufferPool;
using host::ndis::FindPacket;
using host::ndis::Objects;
using host::ndis::PacketPool;
using host::ndis::PacketRecord;
using host::ndis::PacketSlot;

extern "C" {

void NdisAllocatePacketPool(PNDIS_STATUS status, PNDIS_HANDLE poolHandle,
                            UINT numberOfDescriptors, UINT protocolReservedLength) {
  *poolHandle = nullptr;
  if (host::ndis::AllocationFails()) {
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto pool = std::make_unique<PacketPool>();
  pool->protocolReservedLength = protocolReservedLength;
  pool->packetBytes = std::max(sizeof(NDIS_PACKET), offsetof(NDIS_PACKET, ProtocolReserved) +
                                                        std::size_t{protocolReservedLength});
  std::size_t words = (pool->packetBytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
  pool->slots.resize(numberOfDescriptors);
  for (std::size_t i = 0; i < numberOfDescriptors; ++i) {
    pool->slots[i].memory = std::make_unique<std::max_align_t[]>(words);
    // The first descriptor is handed out first.
    pool->freeSlots.push_back(numberOfDescriptors - 1 - i);
  }
  *poolHandle = pool.get();
  Objects().packetPools.emplace(pool.get(), std::move(pool));
  *status = NDIS_STATUS_SUCCESS;
}

void NdisFreePacketPool(NDIS_HANDLE poolHandle) {
  PacketPool* pool = host::ndis::FindPacketPool(poolHandle, "NdisFreePacketPool");
  if (pool == nullptr) return;
  if (pool->inUse != 0) {
    host::Simulation::Current().verifier().Report(
        host::rule::kNdisPacketPoolInUse, "NdisFreePacketPool",
        std::to_string(pool->inUse) + " packets of pool " + host::DescribeAddress(poolHandle) +
            " are still allocated");
    host::ndis::ForgetPacketsOf(*pool);
  }
  Objects().packetPools.erase(poolHandle);
}

void NdisAllocatePacket(PNDIS_STATUS status, PNDIS_PACKET* packet, NDIS_HANDLE poolHandle) {
  *packet = nullptr;
  PacketPool* pool = host::ndis::FindPacketPool(poolHandle, "NdisAllocatePacket");
  if (pool == nullptr) {
    *status = NDIS_STATUS_FAILURE;
    return;
  }
  if (host::ndis::AllocationFails() || pool->freeSlots.empty()) {
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  std::size_t index = pool->freeSlots.back();
  pool->freeSlots.pop_back();
  PacketSlot& slot = pool->slots[index];
  slot.inUse = true;
  slot.record = PacketRecord{};
  slot.record.pool = pool;
  slot.record.slot = index;
  pool->inUse += 1;

  PNDIS_PACKET fresh = slot.packet();
  std::memset(static_cast<void*>(fresh), host::ndis::kFreshFill, pool->packetBytes);
  std::memset(static_cast<void*>(&fresh->Private), 0, sizeof fresh->Private);
  fresh->Private.Pool = poolHandle;
  fresh->Private.ValidCounts = TRUE;
  fresh->Private.NdisPacketFlags = fPACKET_ALLOCATED_BY_NDIS;
  Objects().packets[fresh] = &slot.record;
  *packet = fresh;
  *status = NDIS_STATUS_SUCCESS;
}

void NdisFreePacket(PNDIS_PACKET packet) {
  PacketRecord* record = FindPacket(packet, "NdisFreePacket");
  if (record == nullptr) return;
  if (record->heldByProtocol) {
    host::Simulation::Current().verifier().Report(
        host::rule::kNdisFreeHeldPacket, "NdisFreePacket",
        "packet " + host::DescribeAddress(packet) +
            " was indicated and the protocol has not returned it");
  }
  PacketPool* pool = record->pool;
  PacketSlot& slot = pool->slots[record->slot];
  std::memset(static_cast<void*>(packet), host::ndis::kFreedFill, pool->packetBytes);
  slot.inUse = false;
  pool->freeSlots.push_back(record->slot);
  pool->inUse -= 1;
  Objects().packets.erase(packet);
}

void NdisAllocateBufferPool(PNDIS_STATUS status, PNDIS_HANDLE poolHandle,
                            UINT numberOfDescriptors) {
  *poolHandle = nullptr;
  if (host::ndis::AllocationFails()) {
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  auto pool = std::make_unique<BufferPool>();
  pool->count = numberOfDescriptors;
  *poolHandle = pool.get();
  Objects().bufferPools.emplace(pool.get(), std::move(pool));
  *status = NDIS_STATUS_SUCCESS;
}

void NdisFreeBufferPool(NDIS_HANDLE poolHandle) {
  BufferPool* pool = host::ndis::FindBufferPool(poolHandle, "NdisFreeBufferPool");
  if (pool == nullptr) return;
  if (!pool->live.empty()) {
    host::Simulation::Current().verifier().Report(
        host::rule::kNdisBufferPoolInUse, "NdisFreeBufferPool",
        std::to_string(pool->live.size()) + " buffers of pool " +
            host::DescribeAddress(poolHandle) + " are still allocated");
    for (auto& [buffer, owner] : pool->live) Objects().buffers.erase(buffer);
  }
  Objects().bufferPools.erase(poolHandle);
}

void NdisAllocateBuffer(PNDIS_STATUS status, PNDIS_BUFFER* buffer, NDIS_HANDLE poolHandle,
                        PVOID virtualAddress, UINT length) {
  *buffer = nullptr;
  BufferPool* pool = host::ndis::FindBufferPool(poolHandle, "NdisAllocateBuffer");
  if (pool == nullptr || host::ndis::AllocationFails()) {
    *status = NDIS_STATUS_FAILURE;
    return;
  }
  auto fresh = std::make_unique<NDIS_BUFFER>();
  auto address = reinterpret_cast<ULONG_PTR>(virtualAddress);
  fresh->Next = nullptr;
  fresh->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR{host::ndis::kPageSize - 1});
  fresh->ByteOffset = static_cast<ULONG>(address & (host::ndis::kPageSize - 1));
  fresh->ByteCount = length;
  fresh->Pool = poolHandle;
  *buffer = fresh.get();
  Objects().buffers[fresh.get()] = pool;
  pool->live.emplace(fresh.get(), std::move(fresh));
  *status = NDIS_STATUS_SUCCESS;
}

void NdisFreeBuffer(PNDIS_BUFFER buffer) {
  auto& buffers = Objects().buffers;
  auto found = buffers.find(buffer);
  if (found == buffers.end()) {
    host::ndis::ReportUnknown("NdisFreeBuffer", "buffer", buffer);
    return;
  }
  BufferPool* pool = found->second;
  buffers.erase(found);
  pool->live.erase(buffer);
}

void NdisChainBufferAtFront(PNDIS_PACKET packet, PNDIS_BUFFER buffer) {
  if (FindPacket(packet, "NdisChainBufferAtFront") == nullptr ||
      !host::ndis::IsLiveBuffer(buffer, "NdisChainBufferAtFront")) {
    return;
  }
  NDIS_PACKET_PRIVATE& header = packet->Private;
  PNDIS_BUFFER last = host::ndis::LastOfChain(buffer);
  if (header.Head == nullptr) header.Tail = last;
  last->Next = header.Head;
  header.Head = buffer;
  header.ValidCounts = FALSE;
}

void NdisUnchainBufferAtFront(PNDIS_PACKET packet, PNDIS_BUFFER* buffer) {
  *buffer = nullptr;
  if (FindPacket(packet, "NdisUnchainBufferAtFront") == nullptr) return;
  NDIS_PACKET_PRIVATE& header = packet->Private;
  PNDIS_BUFFER first = header.Head;
  if (first == nullptr) return;
  header.Head = first->Next;
  if (header.Head == nullptr) header.Tail = nullptr;
  first->Next = nullptr;
  header.ValidCounts = FALSE;
  *buffer = first;
}

void NdisQueryPacket(PNDIS_PACKET packet, PUINT physicalBufferCount, PUINT bufferCount,
                     PNDIS_BUFFER* firstBuffer, PUINT totalPacketLength) {
  if (FindPacket(packet, "NdisQueryPacket") == nullptr) return;
  host::ndis::ValidateCounts(packet);
  const NDIS_PACKET_PRIVATE& header = packet->Private;
  if (physicalBufferCount != nullptr) *physicalBufferCount = header.PhysicalCount;
  if (bufferCount != nullptr) *bufferCount = header.Count;
  if (firstBuffer != nullptr) *firstBuffer = header.Head;
  if (totalPacketLength != nullptr) *totalPacketLength = header.TotalLength;
}

void NdisQueryBuffer(PNDIS_BUFFER buffer, PVOID* virtualAddress, PUINT length) {
  bool live = host::ndis::IsLiveBuffer(buffer, "NdisQueryBuffer");
  if (virtualAddress != nullptr) {
    *virtualAddress = live ? static_cast<PUCHAR>(buffer->StartVa) + buffer->ByteOffset : nullptr;
  }
  if (length != nullptr) *length = live ? buffer->ByteCount : 0;
}

void NdisQueryBufferOffset(PNDIS_BUFFER buffer, PUINT offset, PUINT length) {
  bool live = host::ndis::IsLiveBuffer(buffer, "NdisQueryBufferOffset");
  *offset = live ? buffer->ByteOffset : 0;
  *length = live ? buffer->ByteCount : 0;
}

void NdisGetNextBuffer(PNDIS_BUFFER currentBuffer, PNDIS_BUFFER* nextBuffer) {
  bool live = host::ndis::IsLiveBuffer(currentBuffer, "NdisGetNextBuffer");
  *nextBuffer = live ? currentBuffer->Next : nullptr;
}

ULONG NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER buffer) {
  if (!host::ndis::IsLiveBuffer(buffer, "NDIS_BUFFER_TO_SPAN_PAGES")) return 0;
  return host::ndis::SpanPages(buffer);
}

void NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(PNDIS_PACKET packet, PVOID* information,
                                         PUINT size) {
  *information = nullptr;
  *size = 0;
  PacketRecord* record = FindPacket(packet, "NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO");
  if (record == nullptr) return;
  // NDIS keeps the information only for packets it allocated, and says so in the flags.
  constexpr UCHAR kBoth = fPACKET_ALLOCATED_BY_NDIS | fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO;
  if ((packet->Private.NdisPacketFlags & kBoth) != kBoth) return;
  *information = record->mediaSpecificInformation;
  *size = record->mediaSpecificInformationSize;
}

void NDIS_SET_PACKET_HEADER_SIZE(PNDIS_PACKET packet, UINT size) {
  if (PacketRecord* record = FindPacket(packet, "NDIS_SET_PACKET_HEADER_SIZE")) {
    record->headerSize = size;
  }
}

NDIS_STATUS NDIS_GET_PACKET_STATUS(PNDIS_PACKET packet) {
  PacketRecord* record = FindPacket(packet, "NDIS_GET_PACKET_STATUS");
  return record == nullptr ? NDIS_STATUS_FAILURE : record->status;
}

}  // extern "C"
