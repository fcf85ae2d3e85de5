// The send queue, starting a send and its completion.
#include "transmit/send.h"

#include "bridge/bulk_transfer.h"
#include "miniport/work_item.h"
#include "platform/access_once.h"
#include "receive/read_loop.h"
#include "sir/sir_encoder.h"

namespace {

// A queued packet's link to the next one: the first pointer of its MiniportReserved area.
PNDIS_PACKET& NextInQueue(PNDIS_PACKET packet) {
  return *reinterpret_cast<PNDIS_PACKET*>(packet->MiniportReserved);
}

// Takes the next queued packet and makes it current, or goes Idle when there is none.
// Caller holds sendLock.
PNDIS_PACKET TakeNextPacketLocked(IrDevice* device) {
  PNDIS_PACKET packet = device->sendQueueHead;
  if (packet == nullptr) {
    device->currentSendPacket = nullptr;
    WriteOnce(device->nowSending, UCHAR{0});
  } else {
    device->sendQueueHead = NextInQueue(packet);
    if (device->sendQueueHead == nullptr) device->sendQueueTail = nullptr;
    NextInQueue(packet) = nullptr;
    device->currentSendPacket = packet;
  }
  return packet;
}

// Caller does not hold sendLock.
PNDIS_PACKET TakeNextPacket(IrDevice* device) {
  device->sendLockIrql = KfAcquireSpinLock(&device->sendLock);
  PNDIS_PACKET packet = TakeNextPacketLocked(device);
  KfReleaseSpinLock(&device->sendLock, device->sendLockIrql);
  return packet;
}

// Starts `packet`, already current, and then queued packets until one is in flight or
// the queue is empty. Packets that cannot be started are failed on the way.
void StartQueuedPackets(IrDevice* device, PNDIS_PACKET packet) {
  while (packet != nullptr) {
    BOOLEAN started = FALSE;
    StartSend(device, packet, 0, &started);
    if (started) return;  // the new write's completion carries the chain on
    ++device->txErrorCount;
    NdisMSendComplete(device->miniportHandle, packet, NDIS_STATUS_FAILURE);
    packet = TakeNextPacket(device);
  }
}

}  // namespace

NDIS_STATUS MiniportSend(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet, UINT flags) {
  auto* device = static_cast<IrDevice*>(miniportAdapterContext);
  if (device->lowerDevice == nullptr || ReadOnce(device->captureMode)) {
    return NDIS_STATUS_SUCCESS;  // accepted and dropped
  }

  device->sendLockIrql = KfAcquireSpinLock(&device->sendLock);
  NextInQueue(packet) = nullptr;
  if (device->currentSendPacket != nullptr || device->holdingSends) {
    if (device->sendQueueHead == nullptr) {
      device->sendQueueHead = packet;
    } else {
      NextInQueue(device->sendQueueTail) = packet;
    }
    device->sendQueueTail = packet;
    KfReleaseSpinLock(&device->sendLock, device->sendLockIrql);
    return NDIS_STATUS_PENDING;
  }
  device->currentSendPacket = packet;
  WriteOnce(device->nowSending, UCHAR{1});
  KfReleaseSpinLock(&device->sendLock, device->sendLockIrql);

  // The write is started without the lock: its completion may run inside the call and
  // takes the lock itself. While this packet is current, later sends only queue.
  BOOLEAN started = FALSE;
  StartSend(device, packet, flags, &started);
  if (started) return NDIS_STATUS_PENDING;

  // Packets queued behind the failed one meanwhile are started as a completion would.
  device->sendLockIrql = KfAcquireSpinLock(&device->sendLock);
  ++device->txErrorCount;
  KfReleaseSpinLock(&device->sendLock, device->sendLockIrql);
  StartQueuedPackets(device, TakeNextPacket(device));
  return NDIS_STATUS_FAILURE;
}

NTSTATUS StartSend(IrDevice* device, PNDIS_PACKET packet, UINT /*flags*/, BOOLEAN* sendStarted) {
  *sendStarted = FALSE;
  RtlZeroMemory(device->txBuffer, kTxBufferSize);
  device->txResult = BulkStatusBlock{0, 0};
  ULONG frameLength = 0;
  if (!SirEncodeFrame(device, packet, device->txBuffer, kTxBufferSize, &frameLength)) {
    return NDIS_STATUS_INVALID_PACKET;
  }
  // A result other than STATUS_PENDING means either that the write completed within the
  // call (SendComplete ran) or that it never reached the bus (no completion will come).
  ULONG completionsBefore = ReadOnce(device->writeCompletions);
  NTSTATUS status = BulkWriteAsync(device->bridge, device->txBuffer, frameLength, SendComplete,
                                   device, &device->txResult);
  if (status == STATUS_DEVICE_POWERED_OFF) WriteOnce(device->deviceError, UCHAR{1});
  if (status != STATUS_PENDING && ReadOnce(device->writeCompletions) == completionsBefore) {
    return status;  // not posted: the caller fails the packet
  }
  *sendStarted = TRUE;
  return status;
}

NTSTATUS SendComplete(PDEVICE_OBJECT /*deviceObject*/, PIRP irp, PVOID context) {
  auto* device = static_cast<IrDevice*>(context);
  WriteOnce(device->writeCompletions, ReadOnce(device->writeCompletions) + 1);
  if (ReadOnce(device->halting) || ReadOnce(device->resetting)) {
    // Held: halt or reset completes the packets once the transfers have drained.
    WriteOnce(device->nowSending, UCHAR{0});
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  NTSTATUS status = irp->IoStatus.Status;
  if (status == STATUS_SUCCESS) {
    if (ReadOnce(device->deviceError)) {
      QueueWorkItem(RestartReceiveWork, device, RestartReceive, nullptr, 0);  // best effort
    }
    ++device->txOkCount;
  } else {
    ++device->txErrorCount;
  }
  NdisMSendComplete(device->miniportHandle, device->currentSendPacket, status);
  IoFreeIrp(irp);
  StartQueuedPackets(device, TakeNextPacket(device));
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NDIS_STATUS SetupTransmit(IrDevice* device) {
  device->sendQueueHead = nullptr;
  device->sendQueueTail = nullptr;
  device->currentSendPacket = nullptr;
  KeInitializeSpinLock(&device->sendLock);
  device->txBuffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPoolCacheAligned, kTxBufferSize, kDriverTag));
  return device->txBuffer == nullptr ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS;
}

void FailHeldSends(IrDevice* device) {
  device->sendLockIrql = KfAcquireSpinLock(&device->sendLock);
  PNDIS_PACKET queue = device->sendQueueHead;
  PNDIS_PACKET current = device->currentSendPacket;
  device->sendQueueHead = nullptr;
  device->sendQueueTail = nullptr;
  device->currentSendPacket = nullptr;
  WriteOnce(device->nowSending, UCHAR{0});
  KfReleaseSpinLock(&device->sendLock, device->sendLockIrql);

  // Completed outside the lock; no packet's storage is touched after its completion.
  while (PNDIS_PACKET packet = queue) {
    queue = NextInQueue(packet);
    NdisMSendComplete(device->miniportHandle, packet, NDIS_STATUS_FAILURE);
  }
  if (current != nullptr) NdisMSendComplete(device->miniportHandle, current, NDIS_STATUS_FAILURE);
}

void ResumeHeldSends(IrDevice* device) {
  device->sendLockIrql = KfAcquireSpinLock(&device->sendLock);
  WriteOnce(device->holdingSends, UCHAR{0});
  PNDIS_PACKET packet = nullptr;
  if (device->currentSendPacket == nullptr && device->sendQueueHead != nullptr) {
    WriteOnce(device->nowSending, UCHAR{1});
    packet = TakeNextPacketLocked(device);
  }
  KfReleaseSpinLock(&device->sendLock, device->sendLockIrql);
  StartQueuedPackets(device, packet);
}

void ReleaseTransmit(IrDevice* device) {
  FailHeldSends(device);
  if (device->txBuffer != nullptr) {
    ExFreePool(device->txBuffer);
    device->txBuffer = nullptr;
  }
}
