// The per-adapter IrDevice record, its companion records (receive buffers, transceiver
// capabilities and operations, the speed table) and the driver-wide adapter state.
//
// One IrDevice exists per adapter, from MiniportInitialize to MiniportHalt. It is NDIS's
// adapter context, the worker thread's start context, the context of every bridge
// completion and, through currentAdapter, the target of the private device-control
// requests. Each field says which lock or context guards it; byte flags written by
// several contexts without a lock are accessed with ReadOnce/WriteOnce.
#pragma once

#include "bridge/bridge_handle.h"
#include "platform/access_once.h"
#include "platform/kernel.h"
#include "platform/ndis.h"

// Pool tag of the driver's own memory: the bytes " RIS" in memory.
constexpr ULONG kDriverTag = 0x53495220;

constexpr ULONG kRxBufferCount = 14;
constexpr ULONG kRxBufferSize = 2056;   // a receive buffer's data area
constexpr ULONG kReadBufferSize = 2048;  // every bulk-in read fills this many bytes at most
constexpr ULONG kTxBufferSize = 4265;    // the transmit buffer, the encoder's capacity

// One row of the IrDA speed table.
struct SpeedTableRow {
  ULONG index;
  ULONG bitsPerSecond;
  ULONG maskBit;  // the speed's bit in the NDIS IrDA speed mask
};

// The nine IrDA speeds, in index order. Rows 1 to 5 are the SIR speeds.
inline constexpr SpeedTableRow SpeedTable[] = {
    {0, 2400, 0x001},   {1, 9600, 0x002},    {2, 19200, 0x004},
    {3, 38400, 0x008},  {4, 57600, 0x010},   {5, 115200, 0x020},
    {6, 576000, 0x040}, {7, 1152000, 0x080}, {8, 4000000, 0x100},
};
constexpr ULONG kSpeedTableRows = sizeof(SpeedTable) / sizeof(SpeedTable[0]);
constexpr ULONG kSirSpeedMask = 0x3E;  // 9600 to 115200 bits/s
constexpr const SpeedTableRow* kSpeed9600 = &SpeedTable[1];

// The first row with this speed, or null.
constexpr const SpeedTableRow* FindSpeedRow(ULONG bitsPerSecond) {
  for (const SpeedTableRow& row : SpeedTable) {
    if (row.bitsPerSecond == bitsPerSecond) return &row;
  }
  return nullptr;
}

// One receive buffer. It is on rxFreeList or rxPendingList, or is rxCurrent.
struct RxBuffer {
  LIST_ENTRY links;     // membership of rxFreeList or rxPendingList, under rxLock
  PNDIS_PACKET packet;  // from rxPacketPool, kept for the buffer's lifetime
  ULONG dataLength;     // valid bytes in data; 0 when free
  PUCHAR data;          // kRxBufferSize bytes of NDIS memory
  BOOLEAN indicating;   // TRUE while the packet is being indicated, under rxLock
  BOOLEAN returned;     // TRUE when NDIS returned the packet during its indication
};

struct TransceiverCaps {
  ULONG speedMask;       // SpeedTable mask bits the transceiver supports
  ULONG turnaroundTime;  // minimum turnaround time, microseconds
  ULONG extraBofs;       // extra beginning-of-frame flags the transceiver needs
};

// The transceiver's four operations, in slot order.
struct TransceiverOps {
  NTSTATUS (*QueryCaps)(TransceiverCaps* caps);
  NTSTATUS (*Initialize)(BridgeHandle bridge);
  NTSTATUS (*SetSpeed)(BridgeHandle bridge, ULONG newSpeed, ULONG currentSpeed);
  void (*Shutdown)(BridgeHandle bridge);
};

// The deframer's states; Hunt is the state after set-up.
enum RxState : ULONG { Hunt = 0, AfterBof = 1, Escape = 2, InFrame = 3 };

struct IrDevice {
  LIST_ENTRY listLink;           // in adapterList, under adapterListLock
  PDEVICE_OBJECT lowerDevice;    // the device below the adapter; null: no hardware at all
  NDIS_HANDLE miniportHandle;    // first argument of every NDIS call about this adapter
  TransceiverOps transceiverOps;
  TransceiverCaps transceiverCaps;
  ULONG allowedSpeeds;  // SpeedTable mask bits the configuration permits

  // Work for the worker thread.
  LIST_ENTRY workQueue;       // WorkItems, under workLock
  KSPIN_LOCK workLock;
  HANDLE workerThreadHandle;  // non-null until the worker thread's last act
  KEVENT workEvent;           // synchronization event: signalled once per queued item
  KEVENT stopEvent;           // synchronization event: ends the worker thread

  // Link speed.
  ULONG currentSpeed;                // bits/s the transceiver and bridge run at; 0 = not set
  const SpeedTableRow* targetSpeed;  // the speed last requested

  // Counters that NDIS queries: plain 32-bit increments.
  ULONG packetsReceived;
  ULONG packetsDropped;
  ULONG rxOverflows;
  ULONG txOkCount;
  ULONG txErrorCount;

  // State flags, single bytes.
  UCHAR mediaBusy;
  UCHAR nowReceiving;     // a bulk-in read is kept outstanding
  UCHAR nowSending;       // a bulk-out write is outstanding (under sendLock, but for halt)
  UCHAR applyTurnaround;  // the next frame gets turnaround flags
  UCHAR halting;          // completions stop their work
  UCHAR resetting;        // completions stop their work while a reset drains
  // From MiniportReset until the reset has rebuilt the link, new sends wait in the queue:
  // a frame written while the transceiver is off or in command mode would be lost, and
  // its bytes taken as commands could leave the transceiver at another speed. Under
  // sendLock.
  UCHAR holdingSends;

  // Receive tracking.
  RxBuffer rxBuffers[kRxBufferCount];
  NDIS_HANDLE rxPacketPool;
  NDIS_HANDLE rxBufferPool;
  LIST_ENTRY rxFreeList;     // free RxBuffers, under rxLock
  LIST_ENTRY rxPendingList;  // RxBuffers with NDIS, under rxLock
  KSPIN_LOCK rxLock;
  KIRQL rxLockIrql;          // saved by the holder of rxLock
  RxState rxState;           // deframer state; one read completion at a time uses it
  ULONG rxFrameLength;
  RxBuffer* rxCurrent;       // the buffer the deframer fills

  // Send tracking, under sendLock.
  PNDIS_PACKET sendQueueHead;
  PNDIS_PACKET sendQueueTail;
  PNDIS_PACKET currentSendPacket;
  KSPIN_LOCK sendLock;
  KIRQL sendLockIrql;  // saved by the holder of sendLock
  PUCHAR txBuffer;     // kTxBufferSize bytes; never reused while a write is in flight
  BulkStatusBlock txResult;

  // The bulk-in read loop.
  PUCHAR readBuffer;  // kReadBufferSize bytes; at most one read fills it at a time
  BulkStatusBlock readIoStatus;
  LONG volatile readCompletionDepth;  // nesting of read completions; interlocked only

  BridgeHandle bridge;  // null without a lower device, FailedBridge() if creation failed
  UCHAR deviceError;    // the bridge reported a lost or powered-off device

  // The raw exchange's capture of received bytes.
  UCHAR captureMode;
  ULONG captureRemaining;
  PUCHAR captureCursor;
  KEVENT captureEvent;  // notification event: the capture is complete

  UCHAR managesPower;  // the driver powers the device down and up itself

  // Completions of bulk writes and reads, counted by SendComplete and ReceiveComplete.
  // A submission that returns other than STATUS_PENDING compares them to tell a transfer
  // that completed within the call from one that never reached the bus.
  ULONG writeCompletions;
  ULONG readCompletions;
  LONG volatile readPending;  // 1 from a read's submission until its completion begins

  // Raw exchanges that reached this adapter through currentAdapter and have not ended,
  // under adapterListLock: the halt waits for them before it takes the adapter apart.
  LONG exchangeHolds;
};

// Driver-wide state, made ready by DriverEntry.
extern LIST_ENTRY adapterList;      // every initialized IrDevice, under adapterListLock
extern KSPIN_LOCK adapterListLock;
extern IrDevice* currentAdapter;    // where the private device-control requests act
