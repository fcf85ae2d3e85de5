// NDIS's side of loading a miniport: NdisInitializeWrapper, which takes over the driver
// object's dispatch entries for NDIS, and NdisMRegisterMiniport, which accepts (or, when a
// test says so, rejects) the characteristics and keeps what it was given. One
// registration per simulation run; the calls run at PASSIVE_LEVEL in DriverEntry.
#pragma once

#include <optional>
#include <string_view>

#include "platform/ndis.h"

namespace host {

namespace rule {
// NdisMRegisterMiniport with a handle NdisInitializeWrapper never gave.
inline constexpr std::string_view kNdisUnknownWrapper = "ndis.unknown_wrapper_handle";
}  // namespace rule

namespace ndis {

struct Registration {
  PDRIVER_OBJECT driverObject = nullptr;  // from NdisInitializeWrapper
  PUNICODE_STRING registryPath = nullptr;
  PVOID systemSpecific3 = nullptr;
  bool wrapperInitialized = false;
  // What NdisMRegisterMiniport was given, whether it accepted it or not.
  std::optional<NDIS50_MINIPORT_CHARACTERISTICS> characteristics;
  UINT characteristicsLength = 0;
  NDIS_STATUS result = NDIS_STATUS_FAILURE;  // what it answered
  bool accepted = false;
  // The answer of the next registration; success unless a test rejects it.
  NDIS_STATUS answer = NDIS_STATUS_SUCCESS;
};

// This run's registration record.
Registration& CurrentRegistration();
// The next NdisMRegisterMiniport refuses with this status.
void RejectRegistration(NDIS_STATUS status);

// The dispatch routine NdisInitializeWrapper puts in every entry of the driver object: it
// completes the request with STATUS_INVALID_DEVICE_REQUEST (this NDIS serves no I/O of
// its own).
NTSTATUS NdisDispatch(PDEVICE_OBJECT deviceObject, PIRP irp);

}  // namespace ndis
}  // namespace host
