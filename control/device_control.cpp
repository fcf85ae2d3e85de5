// Create, close and device-control dispatch, and the raw transceiver exchange. The
// exchange runs as a work item on the adapter's worker thread, so that it never overlaps
// a speed change, a reset or another exchange, and so that a halt waits for it; the
// caller's thread waits for it at PASSIVE_LEVEL.
#include "control/device_control.h"

#include "bridge/bridge_device.h"
#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "miniport/work_item.h"
#include "platform/access_once.h"
#include "transceiver/transceiver.h"

namespace {

constexpr ULONG kLineSettleMicroseconds = 50'000;
constexpr ULONG kDrainWindowMicroseconds = 2'082;  // two characters at 9600 bits/s
constexpr ULONG kCharacterMicroseconds = 1'041;    // one ten-bit character at 9600 bits/s
constexpr ULONG kMaximumDrainWindows = 100;        // a line that never goes quiet: ~0.2 s
constexpr LONGLONG kReplyTimeout = -10'333'120;    // 100 ns units, relative
constexpr ULONG kDrainScratchSize = 64;
constexpr ULONG kHoldPollMicroseconds = 20'000;

struct ExchangeRequest {
  WaitingRequest waiting;  // first: the worker thread releases it if the item never runs
  ULONG inputLength;
  PVOID input;
  ULONG outputLength;
  PVOID output;
  ULONG_PTR information;
};

// Points the receive path's capture at a buffer. The capture is switched off while the
// count and the cursor change, so that a completion never sees one without the other.
void AimCapture(IrDevice* device, PUCHAR buffer, ULONG length) {
  WriteOnce(device->captureMode, UCHAR{0});
  KeClearEvent(&device->captureEvent);
  device->captureRemaining = length;
  device->captureCursor = buffer;
  WriteOnce(device->captureMode, UCHAR{1});
}

// Throws away what the line still carries: waits until a whole window passes with no byte
// received, for a bounded number of windows. The bytes go to a scratch area, never to the
// caller's buffer, which still holds the input bytes.
void DrainLine(IrDevice* device) {
  UCHAR scratch[kDrainScratchSize];
  for (ULONG window = 0; window < kMaximumDrainWindows; ++window) {
    AimCapture(device, scratch, sizeof scratch);
    NdisMSleep(kDrainWindowMicroseconds);
    if (ReadOnce(device->captureRemaining) == sizeof scratch) break;
  }
  WriteOnce(device->captureMode, UCHAR{0});
}

void Exchange(IrDevice* device, ExchangeRequest* request) {
  BridgeHandle bridge = device->bridge;
  // The exchange drives the same lines as a speed change and may change the speed itself.
  BeginTransceiverSequence(bridge);
  ULONG savedSpeed = device->currentSpeed;
  // Results of the line requests and of the write are not looked at: a transceiver that
  // does not answer shows as a short reply.
  SetControlLines(bridge, TRUE, FALSE);
  NdisMSleep(kLineSettleMicroseconds);
  SetControlLines(bridge, TRUE, TRUE);
  NdisMSleep(kLineSettleMicroseconds);
  SetControlLines(bridge, FALSE, TRUE);  // command state

  KeInitializeEvent(&device->captureEvent, NotificationEvent, FALSE);
  DrainLine(device);
  AimCapture(device, static_cast<PUCHAR>(request->output), request->outputLength);

  BridgeWrite(bridge, request->input, request->inputLength);
  NdisMSleep(request->inputLength * kCharacterMicroseconds);
  NdisMSleep(kLineSettleMicroseconds);
  NTSTATUS normal = SetControlLines(bridge, TRUE, TRUE);

  LARGE_INTEGER timeout;
  timeout.QuadPart = kReplyTimeout;
  KeWaitForSingleObject(&device->captureEvent, Executive, KernelMode, FALSE, &timeout);
  // Left in command mode, the transceiver would take every frame sent from now on for
  // commands: one more try (the reply is in by now).
  if (!NT_SUCCESS(normal)) SetControlLines(bridge, TRUE, TRUE);
  WriteOnce(device->captureMode, UCHAR{0});
  request->information = request->outputLength - ReadOnce(device->captureRemaining);

  if (savedSpeed != 9600 && NT_SUCCESS(TransceiverSetSpeed(bridge, 9600, savedSpeed)) &&
      NT_SUCCESS(SetBaudRate(bridge, 9600))) {
    device->currentSpeed = 9600;
  }
  EndTransceiverSequence(bridge);
}

NTSTATUS ExchangeWorker(WorkItem* item) {
  IrDevice* device = item->device;
  auto* request = static_cast<ExchangeRequest*>(item->buffer);
  FreeWorkItem(item);
  Exchange(device, request);
  request->waiting.status = STATUS_SUCCESS;
  KeSetEvent(&request->waiting.done, 0, FALSE);
  return STATUS_SUCCESS;
}

// The adapter the private requests act on, held so that its halt waits for the request;
// null when there is none.
IrDevice* HoldCurrentAdapter() {
  KIRQL irql = KfAcquireSpinLock(&adapterListLock);
  IrDevice* device = currentAdapter;
  if (device != nullptr) ++device->exchangeHolds;
  KfReleaseSpinLock(&adapterListLock, irql);
  return device;
}

// The last touch of the adapter: its halt may free it as soon as the hold is gone.
void ReleaseAdapter(IrDevice* device) {
  KIRQL irql = KfAcquireSpinLock(&adapterListLock);
  --device->exchangeHolds;
  KfReleaseSpinLock(&adapterListLock, irql);
}

LONG ExchangeHolds(IrDevice* device) {
  KIRQL irql = KfAcquireSpinLock(&adapterListLock);
  LONG holds = device->exchangeHolds;
  KfReleaseSpinLock(&adapterListLock, irql);
  return holds;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS RawTransceiverExchange(IrDevice* device, ULONG inputLength, PVOID input,
                                ULONG outputLength, PVOID output, ULONG_PTR* information) {
  if (inputLength == 0 || input == nullptr || outputLength == 0 || output == nullptr) {
    return STATUS_UNSUCCESSFUL;
  }
  ExchangeRequest request{{}, inputLength, input, outputLength, output, 0};
  KeInitializeEvent(&request.waiting.done, NotificationEvent, FALSE);
  if (!NT_SUCCESS(QueueWorkItem(RawExchangeWork, device, ExchangeWorker, &request,
                                sizeof request))) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeWaitForSingleObject(&request.waiting.done, Executive, KernelMode, FALSE, nullptr);
  *information = request.information;
  return request.waiting.status;
}

void DetachFromDeviceControl(IrDevice* device) {
  KIRQL irql = KfAcquireSpinLock(&adapterListLock);
  if (currentAdapter == device) currentAdapter = nullptr;
  KfReleaseSpinLock(&adapterListLock, irql);
  while (ExchangeHolds(device) != 0) NdisMSleep(kHoldPollMicroseconds);
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT /*deviceObject*/, PIRP irp) {
  irp->IoStatus.Information = 0;
  Complete(irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT /*deviceObject*/, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_GET_DRIVER_VERSION:
      // The code travels as the byte count; with an output buffer the I/O manager would
      // copy that many bytes into it.
      if (outputLength != 0) {
        irp->IoStatus.Information = 0;
        return Complete(irp, STATUS_INVALID_PARAMETER);
      }
      irp->IoStatus.Information = kDriverVersionCode;
      return Complete(irp, STATUS_SUCCESS);
    case IOCTL_TRANSCEIVER_EXCHANGE: {
      IrDevice* device = HoldCurrentAdapter();
      if (device == nullptr) return Complete(irp, STATUS_UNSUCCESSFUL);
      PVOID buffer = irp->AssociatedIrp.SystemBuffer;
      NTSTATUS status = RawTransceiverExchange(device, inputLength, buffer, outputLength, buffer,
                                               &irp->IoStatus.Information);
      ReleaseAdapter(device);
      return Complete(irp, status);
    }
    default:
      return Complete(irp, STATUS_UNSUCCESSFUL);
  }
}
