// Sends through an adapter, their completions, the adapter's attributes, its lower device
// and its error log: NdisMSetAttributesEx, NdisMGetDeviceProperty, NdisMSendComplete and
// NdisWriteErrorLogEntry.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/kernel/scheduler.h"
#include "host/ndis/miniport_block.h"

namespace host::ndis {
namespace {

std::string Address(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

}  // namespace

void MiniportBlock::SetAttributes(NDIS_HANDLE adapterContext, UINT checkForHangSeconds,
                                  ULONG flags, NDIS_INTERFACE_TYPE interfaceType) {
  adapterContext_ = adapterContext;
  checkForHangSeconds_ = checkForHangSeconds;
  attributeFlags_ = flags;
  interfaceType_ = interfaceType;
  attributesSet_ = true;
}

NDIS_STATUS MiniportBlock::Send(W_SEND_HANDLER handler, PNDIS_PACKET packet, UINT flags) {
  Verifier& verifier = Simulation::Current().verifier();
  if (sends_.count(packet) != 0) {
    verifier.Report(rule::kNdisSendTwice, "MiniportSend",
                    "packet " + Address(packet) + " is sent while the driver still owns it");
  }
  sends_[packet] = SendState::kInHandler;
  NDIS_STATUS status;
  {
    IrqlScope dispatch(DISPATCH_LEVEL);
    status = handler(adapterContext_, packet, flags);
  }
  auto found = sends_.find(packet);
  bool completed = found == sends_.end() || found->second == SendState::kCompletedInHandler;
  if (status == NDIS_STATUS_PENDING) {
    if (completed) {
      if (found != sends_.end()) sends_.erase(found);
    } else {
      found->second = SendState::kPending;
    }
  } else {
    if (completed) {
      verifier.Report(rule::kNdisSendCompletedSynchronously, "MiniportSend",
                      "packet " + Address(packet) + " was completed and also answered " +
                          std::to_string(status));
    }
    if (found != sends_.end()) sends_.erase(found);
  }
  return status;
}

void MiniportBlock::CompleteSend(PNDIS_PACKET packet, NDIS_STATUS status) {
  auto found = sends_.find(packet);
  if (found == sends_.end() || found->second == SendState::kCompletedInHandler) {
    Simulation::Current().verifier().Report(
        rule::kNdisSendNotOwned, "NdisMSendComplete",
        "packet " + Address(packet) + " is not a pending send of this adapter");
    return;
  }
  sendCompletions_.push_back(SendCompletion{Simulation::Current().Now(), packet, status});
  if (found->second == SendState::kInHandler) {
    found->second = SendState::kCompletedInHandler;
  } else {
    sends_.erase(found);
  }
}

std::size_t MiniportBlock::pendingSends() const {
  std::size_t count = 0;
  for (auto& [packet, state] : sends_) count += state == SendState::kPending;
  return count;
}

std::size_t MiniportBlock::CheckPendingSends(const char* checkpoint) {
  std::size_t count = 0;
  for (auto& [packet, state] : sends_) {
    if (state != SendState::kPending) continue;
    ++count;
    Simulation::Current().verifier().Report(
        rule::kNdisSendNeverCompleted, checkpoint,
        "packet " + Address(packet) + " was answered NDIS_STATUS_PENDING and never completed");
  }
  return count;
}

}  // namespace host::ndis

using host::ndis::FindMiniportBlock;

extern "C" {

void NdisMSetAttributesEx(NDIS_HANDLE miniportAdapterHandle, NDIS_HANDLE miniportAdapterContext,
                          UINT checkForHangTimeInSeconds, ULONG attributeFlags,
                          NDIS_INTERFACE_TYPE adapterType) {
  if (auto* block = FindMiniportBlock(miniportAdapterHandle, "NdisMSetAttributesEx")) {
    block->SetAttributes(miniportAdapterContext, checkForHangTimeInSeconds, attributeFlags,
                         adapterType);
  }
}

void NdisMGetDeviceProperty(NDIS_HANDLE miniportAdapterHandle,
                            PDEVICE_OBJECT* physicalDeviceObject,
                            PDEVICE_OBJECT* functionalDeviceObject,
                            PDEVICE_OBJECT* nextDeviceObject, PVOID* allocatedResources,
                            PVOID* allocatedResourcesTranslated) {
  auto* block = FindMiniportBlock(miniportAdapterHandle, "NdisMGetDeviceProperty");
  PDEVICE_OBJECT lower = block != nullptr ? block->lowerDevice() : nullptr;
  if (block != nullptr && !block->attributesSet()) {
    host::Simulation::Current().verifier().Report(
        host::rule::kNdisCallOrder, "NdisMGetDeviceProperty",
        "called before NdisMSetAttributesEx");
  }
  if (physicalDeviceObject != nullptr) *physicalDeviceObject = lower;
  if (functionalDeviceObject != nullptr) *functionalDeviceObject = nullptr;
  if (nextDeviceObject != nullptr) *nextDeviceObject = lower;
  if (allocatedResources != nullptr) *allocatedResources = nullptr;
  if (allocatedResourcesTranslated != nullptr) *allocatedResourcesTranslated = nullptr;
}

void NdisMSendComplete(NDIS_HANDLE miniportAdapterHandle, PNDIS_PACKET packet,
                       NDIS_STATUS status) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  if (auto* block = FindMiniportBlock(miniportAdapterHandle, "NdisMSendComplete")) {
    block->CompleteSend(packet, status);
  }
}

void NdisWriteErrorLogEntry(NDIS_HANDLE miniportAdapterHandle, NDIS_ERROR_CODE errorCode,
                            ULONG numberOfErrorValues, ...) {
  host::ndis::ErrorLogEntry entry{errorCode, {}};
  va_list values;
  va_start(values, numberOfErrorValues);
  for (ULONG i = 0; i < numberOfErrorValues; ++i) entry.values.push_back(va_arg(values, ULONG));
  va_end(values);
  if (auto* block = FindMiniportBlock(miniportAdapterHandle, "NdisWriteErrorLogEntry")) {
    block->LogError(std::move(entry));
  }
}

}  // extern "C"
