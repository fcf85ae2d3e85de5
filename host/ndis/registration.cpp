// Miniport registration: the wrapper and NdisMRegisterMiniport.
#include "host/ndis/registration.h"

#include <cstdio>
#include <string>

#include "host/kernel/simulation.h"

namespace host::ndis {
namespace {

// Values of NDIS's refusals of a registration it cannot use.
constexpr NDIS_STATUS kBadVersion = static_cast<NDIS_STATUS>(0xC0010004);
constexpr NDIS_STATUS kBadCharacteristics = static_cast<NDIS_STATUS>(0xC0010005);

}  // namespace

Registration& CurrentRegistration() { return Simulation::Current().Extension<Registration>(); }

void RejectRegistration(NDIS_STATUS status) { CurrentRegistration().answer = status; }

NTSTATUS NdisDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace host::ndis

extern "C" {

void NdisInitializeWrapper(PNDIS_HANDLE wrapperHandle, PVOID systemSpecific1,
                           PVOID systemSpecific2, PVOID systemSpecific3) {
  host::ndis::Registration& registration = host::ndis::CurrentRegistration();
  registration.driverObject = static_cast<PDRIVER_OBJECT>(systemSpecific1);
  registration.registryPath = static_cast<PUNICODE_STRING>(systemSpecific2);
  registration.systemSpecific3 = systemSpecific3;
  registration.wrapperInitialized = true;
  if (registration.driverObject != nullptr) {
    for (PDRIVER_DISPATCH& entry : registration.driverObject->MajorFunction) {
      entry = host::ndis::NdisDispatch;
    }
  }
  *wrapperHandle = &registration;
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE wrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS characteristics,
                                  UINT characteristicsLength) {
  host::Simulation& simulation = host::Simulation::Current();
  host::ndis::Registration& registration = host::ndis::CurrentRegistration();
  if (wrapperHandle != &registration || !registration.wrapperInitialized) {
    char text[64];
    std::snprintf(text, sizeof text, "wrapper handle %p", wrapperHandle);
    simulation.verifier().Report(host::rule::kNdisUnknownWrapper, "NdisMRegisterMiniport", text);
    return NDIS_STATUS_FAILURE;
  }
  registration.characteristics = *characteristics;
  registration.characteristicsLength = characteristicsLength;
  NDIS_STATUS result = registration.answer;
  if (result == NDIS_STATUS_SUCCESS) {
    if (characteristics->MajorNdisVersion != 5 || characteristics->MinorNdisVersion != 0) {
      result = host::ndis::kBadVersion;
    } else if (characteristicsLength != sizeof(NDIS50_MINIPORT_CHARACTERISTICS) ||
               characteristics->InitializeHandler == nullptr ||
               characteristics->HaltHandler == nullptr) {
      result = host::ndis::kBadCharacteristics;
    }
  }
  registration.result = result;
  registration.accepted = result == NDIS_STATUS_SUCCESS;
  return result;
}

}  // extern "C"
