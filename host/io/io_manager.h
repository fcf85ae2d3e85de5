// The host's I/O manager for a loaded driver: its driver object and registry path, the
// device objects made for it (NDIS makes one per adapter), loading it through its entry
// point, and the requests applications send to its device objects: create, close and
// device control with buffered I/O. Used from a simulated thread at PASSIVE_LEVEL.
//
// Buffered I/O as the real one does it: one system buffer, as long as the larger of the
// two buffers, holds the input on the way down and the output on the way back; on
// completion of a request with an output buffer, `Information` bytes are copied from it
// to that buffer. A completion whose Information exceeds the output buffer is reported (it
// would overrun the caller's memory) and only the output buffer's length is copied. A request the
// dispatch routine answers STATUS_PENDING is waited for until it completes.
//
// Not simulated: file objects and handles (create and close carry none), direct and
// neither I/O, cancellation of a caller's request, IRP stacks below the driver.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"

namespace host {

namespace rule {
inline constexpr std::string_view kIoInformationOverrun = "io.information_exceeds_output_buffer";
// The dispatch routine returned other than STATUS_PENDING without completing the request.
inline constexpr std::string_view kIoNotCompleted = "io.request_not_completed";
}  // namespace rule

namespace io {

using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT driverObject,
                                        PUNICODE_STRING registryPath);

class Driver {
 public:
  explicit Driver(std::u16string registryPath = u"\\Registry\\Machine\\System\\Services\\Sir");
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Calls the entry point at PASSIVE_LEVEL with the driver object and registry path.
  NTSTATUS Load(DriverEntryRoutine entry);

  // A new device object of this driver, first on its device list.
  PDEVICE_OBJECT CreateDevice();

  PDRIVER_OBJECT object() { return &object_; }
  PUNICODE_STRING registryPath() { return &pathString_; }

 private:
  DRIVER_OBJECT object_{};
  std::u16string path_;
  UNICODE_STRING pathString_{};
  std::deque<DEVICE_OBJECT> devices_;
};

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<UCHAR> output;  // the caller's output buffer after the copy back
};

IoResult Create(PDEVICE_OBJECT device);
IoResult Close(PDEVICE_OBJECT device);
IoResult DeviceControl(PDEVICE_OBJECT device, ULONG controlCode, const std::vector<UCHAR>& input,
                       ULONG outputLength);

}  // namespace io
}  // namespace host
