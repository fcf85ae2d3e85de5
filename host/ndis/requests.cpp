// Requests NDIS issues to an adapter (queries, sets, resets), one at a time, and the
// completions of those the driver pended: NdisMQueryInformationComplete,
// NdisMSetInformationComplete and NdisMResetComplete, each checked against the request
// outstanding on the adapter's MiniportBlock and recorded there with its status.
#include <string>

#include "host/kernel/scheduler.h"
#include "host/ndis/miniport_block.h"

namespace host::ndis {
namespace {

// A reset completes as a reset whatever its addressing flag says.
RequestKind Family(RequestKind kind) {
  return kind == RequestKind::kResetAddressing ? RequestKind::kReset : kind;
}

const char* Name(RequestKind kind) {
  switch (Family(kind)) {
    case RequestKind::kQuery: return "query";
    case RequestKind::kSet: return "set";
    default: return "reset";
  }
}

}  // namespace

void MiniportBlock::BeginRequest(RequestKind kind, const char* call) {
  if (request_ != RequestState::kNone) {
    Simulation::Current().verifier().Report(
        rule::kNdisRequestOverlap, call,
        std::string("a ") + Name(kind) + " is issued while a " + Name(requestKind_) +
            " is still outstanding");
  }
  request_ = RequestState::kInHandler;
  requestKind_ = Family(kind);
}

bool MiniportBlock::EndRequestCall(NDIS_STATUS answered, const char* call) {
  bool completed = request_ == RequestState::kCompletedInHandler;
  if (answered == NDIS_STATUS_PENDING) {
    request_ = completed ? RequestState::kNone : RequestState::kPending;
  } else {
    if (completed) {
      Simulation::Current().verifier().Report(
          rule::kNdisRequestCompletedAndAnswered, call,
          std::string("the ") + Name(requestKind_) + " was completed and also answered " +
              std::to_string(answered));
    }
    request_ = RequestState::kNone;
  }
  return request_ == RequestState::kPending;
}

void MiniportBlock::CompleteRequest(RequestKind kind, NDIS_STATUS status, const char* call) {
  bool pending = request_ == RequestState::kPending || request_ == RequestState::kInHandler;
  if (!pending || requestKind_ != Family(kind)) {
    Simulation::Current().verifier().Report(
        rule::kNdisRequestNotPending, call,
        std::string("no ") + Name(kind) + " is pending on this adapter" +
            (request_ == RequestState::kNone ? "" : std::string(" (a ") + Name(requestKind_) +
                                                        " is)"));
    return;
  }
  requestCompletions_.push_back(RequestCompletion{Simulation::Current().Now(), kind, status});
  request_ = request_ == RequestState::kInHandler ? RequestState::kCompletedInHandler
                                                  : RequestState::kNone;
}

std::size_t MiniportBlock::CheckPendingRequests(const char* checkpoint) {
  if (request_ != RequestState::kPending) return 0;
  Simulation::Current().verifier().Report(
      rule::kNdisRequestNeverCompleted, checkpoint,
      std::string("a ") + Name(requestKind_) + " answered NDIS_STATUS_PENDING was never completed");
  return 1;
}

}  // namespace host::ndis

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
