// Where sirsim meets the driver as the platform would: the handlers NDIS holds after the
// driver registered, and the device-control requests an application sends through the
// I/O manager. Runs on the simulation's test thread.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/kernel.h"
#include "platform/ndis.h"

namespace sirsim {

// Makes the driver-wide state ready and returns the driver's seven miniport handlers.
NDIS50_MINIPORT_CHARACTERISTICS LoadDriver();

struct DeviceControlResult {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ULONG_PTR information = 0;
};

// Sends one buffered device-control request to the driver's entry, as an application's
// DeviceIoControl would, and waits for its completion. The output buffer is as long as
// `outputLength`; `output` receives what the driver left in it.
DeviceControlResult DeviceControl(ULONG code, const std::vector<std::uint8_t>& input,
                                  ULONG outputLength, std::vector<std::uint8_t>* output);

}  // namespace sirsim
