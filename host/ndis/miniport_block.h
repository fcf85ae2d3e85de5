// What the host's NDIS knows of one adapter: the driver's adapter context, its
// return-packet handler, and the stand-in for the protocol bound above the adapter, which
// receives the adapter's indications. The NDIS_HANDLE the driver keeps in miniportHandle
// points to this record. Indications arrive on whatever thread the driver indicates from;
// returns run the driver's handler at DISPATCH_LEVEL on the thread that asks for them.
//
// What the stand-in simulates: a protocol that keeps each indicated packet (NDIS then
// leaves NDIS_STATUS_PENDING in it and the packet comes back later, when a test returns
// it), hands it back at once (leaving NDIS_STATUS_SUCCESS or NDIS_STATUS_RESOURCES), or
// returns it through the return-packet handler while the indication is still running.
// It records each indication with the packet's bytes at that moment, and reports a driver
// that changes the packet's chain before the indication has returned. What it does not:
// several protocols, lookahead indications, packet reference counts beyond one.
#pragma once

#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "host/kernel/simulation.h"
#include "platform/ndis.h"

namespace host {

namespace rule {
inline constexpr std::string_view kNdisUnknownAdapter = "ndis.unknown_adapter_handle";
inline constexpr std::string_view kNdisIndicateHeldPacket = "ndis.indicate_packet_held";
inline constexpr std::string_view kNdisReturnedTwice = "ndis.packet_returned_twice";
inline constexpr std::string_view kNdisReturnNotIndicated = "ndis.return_not_indicated";
inline constexpr std::string_view kNdisSendNotOwned = "ndis.send_completed_not_pending";
inline constexpr std::string_view kNdisSendCompletedSynchronously =
    "ndis.send_completed_and_answered";
inline constexpr std::string_view kNdisSendNeverCompleted = "ndis.send_never_completed";
inline constexpr std::string_view kNdisSendTwice = "ndis.send_of_packet_owned_by_driver";
inline constexpr std::string_view kNdisCallOrder = "ndis.call_order";
// The driver changed a packet's chain while NDIS was still indicating it.
inline constexpr std::string_view kNdisPacketChangedInIndication =
    "ndis.packet_changed_during_indication";
// Requests: a completion of a request that is not pending (completed twice, never pended,
// or of another kind), a request completed and also answered other than pending, a request
// issued while another is outstanding, and one pended and never completed.
inline constexpr std::string_view kNdisRequestNotPending = "ndis.request_completed_not_pending";
inline constexpr std::string_view kNdisRequestCompletedAndAnswered =
    "ndis.request_completed_and_answered";
inline constexpr std::string_view kNdisRequestOverlap = "ndis.request_while_outstanding";
inline constexpr std::string_view kNdisRequestNeverCompleted = "ndis.request_never_completed";
}  // namespace rule

namespace ndis {

enum class ProtocolAction {
  kKeep,                    // keeps the packet; a test returns it later
  kHandBack,                // the packet is back when the indication returns
  kReturnDuringIndication,  // returned through the handler before the indication returns
};

// A packet the driver completed with NdisMSendComplete.
struct SendCompletion {
  VirtualTime time = 0;
  PNDIS_PACKET packet = nullptr;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
};

// The requests a driver may pend and complete later.
enum class RequestKind { kQuery, kSet, kReset, kResetAddressing };

struct RequestCompletion {
  VirtualTime time = 0;
  RequestKind kind = RequestKind::kQuery;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
};

struct ErrorLogEntry {
  NDIS_ERROR_CODE code = 0;
  std::vector<ULONG> values;
};

struct Indication {
  VirtualTime time = 0;
  PNDIS_PACKET packet = nullptr;
  std::vector<UCHAR> bytes;  // what the packet described when it was indicated
  UINT headerSize = 0;
  NDIS_STATUS statusLeft = NDIS_STATUS_SUCCESS;  // the packet's status afterwards
};

class MiniportBlock {
 public:
  MiniportBlock(NDIS_HANDLE adapterContext, W_RETURN_PACKET_HANDLER returnPacketHandler)
      : adapterContext_(adapterContext), returnPacketHandler_(returnPacketHandler) {}

  // The adapter handle NDIS passes to the driver.
  NDIS_HANDLE handle() { return this; }
  NDIS_HANDLE adapterContext() const { return adapterContext_; }

  // What NdisMSetAttributesEx told NDIS; from then on the context is the driver's own.
  void SetAttributes(NDIS_HANDLE adapterContext, UINT checkForHangSeconds, ULONG flags,
                     NDIS_INTERFACE_TYPE interfaceType);
  bool attributesSet() const { return attributesSet_; }
  ULONG attributeFlags() const { return attributeFlags_; }
  UINT checkForHangSeconds() const { return checkForHangSeconds_; }
  NDIS_INTERFACE_TYPE interfaceType() const { return interfaceType_; }

  // The device object below the adapter that NdisMGetDeviceProperty reports (null: none).
  void SetLowerDevice(PDEVICE_OBJECT device) { lowerDevice_ = device; }
  PDEVICE_OBJECT lowerDevice() const { return lowerDevice_; }

  // Sends, as NDIS makes them: the handler runs at DISPATCH_LEVEL, and the verifier checks
  // that a packet answered NDIS_STATUS_PENDING is completed exactly once and that no other
  // packet is. A completion may come before the handler returns.
  NDIS_STATUS Send(W_SEND_HANDLER handler, PNDIS_PACKET packet, UINT flags);
  void CompleteSend(PNDIS_PACKET packet, NDIS_STATUS status);
  const std::vector<SendCompletion>& sendCompletions() const { return sendCompletions_; }
  std::size_t pendingSends() const;
  // A checkpoint (the adapter halted): reports every send still pending; returns how many.
  std::size_t CheckPendingSends(const char* checkpoint);

  // Requests, one at a time as NDIS issues them: BeginRequest before the handler runs,
  // EndRequestCall with what it answered (true when the request stays outstanding), and
  // CompleteRequest when the driver completes one it pended. The verifier checks that a
  // pended request is completed exactly once and that no other is.
  void BeginRequest(RequestKind kind, const char* call);
  bool EndRequestCall(NDIS_STATUS answered, const char* call);
  bool requestOutstanding() const { return request_ != RequestState::kNone; }
  void CompleteRequest(RequestKind kind, NDIS_STATUS status, const char* call);
  // A checkpoint: reports a pended request never completed; returns how many (0 or 1).
  std::size_t CheckPendingRequests(const char* checkpoint);
  const std::vector<RequestCompletion>& requestCompletions() const { return requestCompletions_; }

  void LogError(ErrorLogEntry entry) { errorLog_.push_back(std::move(entry)); }
  const std::vector<ErrorLogEntry>& errorLog() const { return errorLog_; }

  // How the protocol stand-in treats the packets indicated from now on. The default
  // hands each back at once with NDIS_STATUS_SUCCESS.
  void KeepPackets() { action_ = ProtocolAction::kKeep; }
  void HandBackPackets(NDIS_STATUS statusLeft) {
    action_ = ProtocolAction::kHandBack;
    statusLeft_ = statusLeft;
  }
  void ReturnDuringIndication(NDIS_STATUS statusLeft = NDIS_STATUS_PENDING) {
    action_ = ProtocolAction::kReturnDuringIndication;
    statusLeft_ = statusLeft;
  }

  // The protocol gives a packet back: the driver's return-packet handler runs at
  // DISPATCH_LEVEL. A packet the protocol does not hold is reported, and passed on to the
  // handler all the same, as NDIS would.
  void ReturnPacket(PNDIS_PACKET packet);
  // Returns every packet held, in the order they were indicated.
  void ReturnAllHeld();

  // Long runs (benchmarks, stress) may stop the records; the protocol behaves the same.
  void RecordIndications(bool record) { recordIndications_ = record; }
  const std::vector<Indication>& indications() const { return indications_; }
  const std::vector<PNDIS_PACKET>& held() const { return held_; }

  // NdisMIndicateReceivePacket's work for one packet.
  void Indicate(PNDIS_PACKET packet);

 private:
  NDIS_HANDLE adapterContext_;
  W_RETURN_PACKET_HANDLER returnPacketHandler_;
  ProtocolAction action_ = ProtocolAction::kHandBack;
  NDIS_STATUS statusLeft_ = NDIS_STATUS_SUCCESS;
  bool recordIndications_ = true;
  std::vector<Indication> indications_;
  std::vector<PNDIS_PACKET> held_;       // kept by the protocol, in indication order
  std::set<PNDIS_PACKET> returnedSince_;  // returned and not indicated again since

  bool attributesSet_ = false;
  ULONG attributeFlags_ = 0;
  UINT checkForHangSeconds_ = 0;
  NDIS_INTERFACE_TYPE interfaceType_ = NdisInterfaceInternal;
  PDEVICE_OBJECT lowerDevice_ = nullptr;

  enum class SendState { kInHandler, kCompletedInHandler, kPending };
  std::map<PNDIS_PACKET, SendState> sends_;  // packets the driver owns now
  std::vector<SendCompletion> sendCompletions_;
  std::vector<ErrorLogEntry> errorLog_;
  std::vector<RequestCompletion> requestCompletions_;
  enum class RequestState { kNone, kInHandler, kCompletedInHandler, kPending };
  RequestState request_ = RequestState::kNone;
  RequestKind requestKind_ = RequestKind::kQuery;
};

// Makes the record of one adapter, kept until the simulation ends.
MiniportBlock& CreateMiniportBlock(NDIS_HANDLE adapterContext,
                                   W_RETURN_PACKET_HANDLER returnPacketHandler);
// The record behind an adapter handle, or null (reported) for a handle NDIS never gave.
MiniportBlock* FindMiniportBlock(NDIS_HANDLE handle, const char* call);

}  // namespace ndis
}  // namespace host
