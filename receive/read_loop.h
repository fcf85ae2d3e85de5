// The bulk-in read loop: exactly one 2048-byte read outstanding on readBuffer while the
// loop runs, its bytes going to the deframer or, during a raw exchange, to the capture.
// ReceiveComplete runs in the bus's completion context; RestartReceive on the worker.
#pragma once

#include "miniport/ir_device.h"
#include "miniport/work_item.h"
#include "platform/kernel.h"
#include "platform/ndis.h"

// Resets the deframer, takes the first receive buffer if none is current and posts the
// first read. NDIS_STATUS_SUCCESS or NDIS_STATUS_FAILURE.
NDIS_STATUS IrStartReceive(IrDevice* device);

// Posts one read into readBuffer, unless one is outstanding already (then STATUS_PENDING):
// the loop never has two reads on the buffer. Returns what the bridge returned.
NTSTATUS PostReceive(IrDevice* device);

// Completion routine of every bulk-in read.
NTSTATUS ReceiveComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Work routine (RestartReceiveWork): recovers the bridge after a device error and posts
// the next read.
NTSTATUS RestartReceive(WorkItem* item);
