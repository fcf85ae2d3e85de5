// Set-up and release of the receive buffers, their packets and pools, and the read
// buffer.
#include "receive/rx_pool.h"

namespace {

constexpr UINT kRxProtocolReserved = 16;  // protocol-reserved bytes of each receive packet

}  // namespace

NDIS_STATUS SetupReceivePool(IrDevice* irDevice) {
  InitializeListHead(&irDevice->rxFreeList);
  InitializeListHead(&irDevice->rxPendingList);
  KeInitializeSpinLock(&irDevice->rxLock);
  irDevice->rxState = Hunt;
  irDevice->rxFrameLength = 0;
  irDevice->rxCurrent = nullptr;

  // Handles are stored only once they are valid, so the release never frees a handle that
  // a failed call left behind.
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  NDIS_HANDLE pool = nullptr;
  NdisAllocatePacketPool(&status, &pool, kRxBufferCount, kRxProtocolReserved);
  if (status != NDIS_STATUS_SUCCESS) return status;
  irDevice->rxPacketPool = pool;
  NdisAllocateBufferPool(&status, &pool, kRxBufferCount);
  if (status != NDIS_STATUS_SUCCESS) return status;
  irDevice->rxBufferPool = pool;

  for (RxBuffer& buffer : irDevice->rxBuffers) {
    PVOID data = nullptr;
    if (NdisAllocateMemoryWithTag(&data, kRxBufferSize, kDriverTag) != NDIS_STATUS_SUCCESS) {
      return NDIS_STATUS_RESOURCES;
    }
    buffer.data = static_cast<PUCHAR>(data);
    NdisZeroMemory(buffer.data, kRxBufferSize);
    buffer.dataLength = 0;
    buffer.indicating = FALSE;
    buffer.returned = FALSE;
    PNDIS_PACKET packet = nullptr;
    NdisAllocatePacket(&status, &packet, irDevice->rxPacketPool);
    if (status != NDIS_STATUS_SUCCESS) return status;
    buffer.packet = packet;
    ExfInterlockedInsertTailList(&irDevice->rxFreeList, &buffer.links, &irDevice->rxLock);
  }

  irDevice->readBuffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPoolCacheAligned, kReadBufferSize, kDriverTag));
  if (irDevice->readBuffer == nullptr) return NDIS_STATUS_RESOURCES;
  return NDIS_STATUS_SUCCESS;
}

void ReleaseReceivePool(IrDevice* irDevice) {
  for (RxBuffer& buffer : irDevice->rxBuffers) {
    if (buffer.packet != nullptr) {
      FreeFrameDescriptor(buffer.packet);
      NdisFreePacket(buffer.packet);
      buffer.packet = nullptr;
    }
    if (buffer.data != nullptr) {
      NdisFreeMemory(buffer.data, kRxBufferSize, 0);
      buffer.data = nullptr;
    }
    buffer.dataLength = 0;
  }
  if (irDevice->rxPacketPool != nullptr) {
    NdisFreePacketPool(irDevice->rxPacketPool);
    irDevice->rxPacketPool = nullptr;
  }
  if (irDevice->rxBufferPool != nullptr) {
    NdisFreeBufferPool(irDevice->rxBufferPool);
    irDevice->rxBufferPool = nullptr;
  }
  if (irDevice->readBuffer != nullptr) {
    ExFreePool(irDevice->readBuffer);
    irDevice->readBuffer = nullptr;
  }
  // The buffers are gone: no list may lead to them any more.
  InitializeListHead(&irDevice->rxFreeList);
  InitializeListHead(&irDevice->rxPendingList);
  irDevice->rxCurrent = nullptr;
}

void FreeFrameDescriptor(PNDIS_PACKET packet) {
  PNDIS_BUFFER descriptor = nullptr;
  NdisUnchainBufferAtFront(packet, &descriptor);
  if (descriptor != nullptr) NdisFreeBuffer(descriptor);
}
