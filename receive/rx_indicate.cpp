// The receive indication, the recycling of indicated buffers and the return-packet
// handler.
#include "receive/rx_indicate.h"

#include "receive/rx_pool.h"
#include "sir/fcs16.h"
#include "sir/sir_format.h"

namespace {

constexpr UINT kIrlapHeaderSize = 2;  // the address and control bytes

// Gives up the frame in rxCurrent: it stays rxCurrent, cleared, and the spare (if one was
// taken) goes back to the head of the free list, to be the next one taken.
NDIS_STATUS DropFrame(IrDevice* irDevice, PLIST_ENTRY spare) {
  DbgPrint("<== IndicateReceivePacket:packetsDropped!!!!!!!!\r\n");
  irDevice->packetsDropped += 1;
  RxBuffer* frame = irDevice->rxCurrent;
  NdisZeroMemory(frame->data, kRxBufferSize);
  frame->dataLength = 0;
  if (spare != nullptr) {
    ExfInterlockedInsertHeadList(&irDevice->rxFreeList, spare, &irDevice->rxLock);
  }
  return NDIS_STATUS_FAILURE;
}

}  // namespace

NDIS_STATUS IndicateReceivePacket(IrDevice* irDevice) {
  PLIST_ENTRY spare = ExfInterlockedRemoveHeadList(&irDevice->rxFreeList, &irDevice->rxLock);
  RxBuffer* frame = irDevice->rxCurrent;
  if (spare == nullptr || ComputeFcs16(frame->data, frame->dataLength) != kFcs16Good) {
    return DropFrame(irDevice, spare);
  }
  // The descriptor comes first: when there is none, the frame is dropped before anything
  // about the buffer has changed.
  PNDIS_BUFFER descriptor = nullptr;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  NdisAllocateBuffer(&status, &descriptor, irDevice->rxBufferPool, frame->data,
                     frame->dataLength - kSirFcsLength);
  if (status != NDIS_STATUS_SUCCESS) return DropFrame(irDevice, spare);

  frame->dataLength -= kSirFcsLength;
  PNDIS_PACKET packet = frame->packet;
  NdisChainBufferAtFront(packet, descriptor);
  NDIS_SET_PACKET_HEADER_SIZE(packet, kIrlapHeaderSize);
  // Marked before it is listed as pending, so a return can never find it unmarked
  // while the indication is under way.
  frame->indicating = TRUE;
  ExfInterlockedInsertTailList(&irDevice->rxPendingList, &frame->links, &irDevice->rxLock);
  irDevice->rxCurrent = CONTAINING_RECORD(spare, RxBuffer, links);

  NdisMIndicateReceivePacket(irDevice->miniportHandle, &packet, 1);

  // SUCCESS and RESOURCES mean the packet is back already; a return that came during the
  // indication was only marked. Either way the buffer is recycled here.
  irDevice->rxLockIrql = KfAcquireSpinLock(&irDevice->rxLock);
  frame->indicating = FALSE;
  status = NDIS_GET_PACKET_STATUS(packet);
  if (frame->returned || status == NDIS_STATUS_SUCCESS || status == NDIS_STATUS_RESOURCES) {
    RecycleReceiveBuffer(irDevice, frame);
  }
  KfReleaseSpinLock(&irDevice->rxLock, irDevice->rxLockIrql);
  return status;
}

void RecycleReceiveBuffer(IrDevice* irDevice, RxBuffer* buffer) {
  RemoveEntryList(&buffer->links);
  FreeFrameDescriptor(buffer->packet);
  buffer->dataLength = 0;
  buffer->indicating = FALSE;
  buffer->returned = FALSE;
  InsertTailList(&irDevice->rxFreeList, &buffer->links);
}

void MiniportReturnPacket(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet) {
  auto* irDevice = static_cast<IrDevice*>(miniportAdapterContext);
  irDevice->packetsReceived += 1;
  irDevice->rxLockIrql = KfAcquireSpinLock(&irDevice->rxLock);
  for (PLIST_ENTRY link = irDevice->rxPendingList.Flink; link != &irDevice->rxPendingList;
       link = link->Flink) {
    RxBuffer* buffer = CONTAINING_RECORD(link, RxBuffer, links);
    if (buffer->packet != packet) continue;
    // During its own indication the packet is only marked; the indication recycles it.
    if (buffer->indicating) {
      buffer->returned = TRUE;
    } else {
      RecycleReceiveBuffer(irDevice, buffer);
    }
    break;
  }
  KfReleaseSpinLock(&irDevice->rxLock, irDevice->rxLockIrql);
}
