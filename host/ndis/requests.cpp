// Completions of the requests a driver pended: queries, sets and resets. Each is recorded
// on the adapter's MiniportBlock with the status it carried.
#include "host/kernel/scheduler.h"
#include "host/ndis/miniport_block.h"

using host::ndis::FindMiniportBlock;
using host::ndis::RequestKind;

namespace {

void Complete(NDIS_HANDLE handle, RequestKind kind, NDIS_STATUS status, const char* call) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  if (auto* block = FindMiniportBlock(handle, call)) block->CompleteRequest(kind, status, call);
}

}  // namespace

extern "C" {

void NdisMQueryInformationComplete(NDIS_HANDLE miniportAdapterHandle, NDIS_STATUS status) {
  Complete(miniportAdapterHandle, RequestKind::kQuery, status, "NdisMQueryInformationComplete");
}

void NdisMSetInformationComplete(NDIS_HANDLE miniportAdapterHandle, NDIS_STATUS status) {
  Complete(miniportAdapterHandle, RequestKind::kSet, status, "NdisMSetInformationComplete");
}

void NdisMResetComplete(NDIS_HANDLE miniportAdapterHandle, NDIS_STATUS status,
                        BOOLEAN addressingReset) {
  Complete(miniportAdapterHandle, addressingReset ? RequestKind::kResetAddressing
                                                  : RequestKind::kReset,
           status, "NdisMResetComplete");
}

}  // extern "C"
