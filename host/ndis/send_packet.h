// A send packet as the IrDA protocol hands one down: an NDIS packet from its own pool,
// its bytes in a chain of buffers of chosen lengths, and, when asked for, media-specific
// information with an NDIS_IRDA_PACKET_INFO. Made and destroyed inside a simulation run;
// its pools are the protocol's own, and its allocations never see injected faults.
#pragma once

#include <cstddef>
#include <vector>

#include "host/kernel/simulation.h"
#include "host/ndis/packets.h"
#include "platform/ndis.h"

namespace host::ndis {

class SendPacket {
 public:
  // chain: the buffers' lengths in order; 0 is an empty buffer with no address at all, so
  // that reading from it faults. Empty: one buffer holds the whole payload. The chain may
  // describe fewer bytes than the payload has.
  explicit SendPacket(const std::vector<UCHAR>& payload, const std::vector<UINT>& chain = {})
      : bytes_(payload) {
    FaultInjector::Suspension notTheDriver(Simulation::Current().faults());
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NdisAllocatePacketPool(&status, &packetPool_, 1, 16);
    NdisAllocateBufferPool(&status, &bufferPool_, 16);
    MarkProtocolPool(packetPool_);
    MarkProtocolPool(bufferPool_);
    NdisAllocatePacket(&status, &packet_, packetPool_);
    std::vector<UINT> lengths = chain;
    if (lengths.empty()) lengths.push_back(static_cast<UINT>(bytes_.size()));
    std::size_t offset = 0;
    for (UINT length : lengths) {
      PVOID address = length == 0 ? nullptr : bytes_.data() + offset;
      PNDIS_BUFFER buffer = nullptr;
      NdisAllocateBuffer(&status, &buffer, bufferPool_, address, length);
      host::ndis::ChainBufferAtBack(packet_, buffer);
      buffers_.push_back(buffer);
      offset += length;
    }
  }

  ~SendPacket() {
    for (PNDIS_BUFFER buffer : buffers_) NdisFreeBuffer(buffer);
    NdisFreePacket(packet_);
    NdisFreeBufferPool(bufferPool_);
    NdisFreePacketPool(packetPool_);
  }

  SendPacket(const SendPacket&) = delete;
  SendPacket& operator=(const SendPacket&) = delete;

  // Attaches IrDA information; `size` is the media-specific size the packet claims.
  void AttachIrdaInfo(ULONG extraBofs, ULONG minTurnAroundTime,
                      UINT size = sizeof(IrdaInformation)) {
    information_.header.ClassId = NdisClassIrdaPacketInfo;
    information_.header.Size = sizeof(NDIS_IRDA_PACKET_INFO);
    information_.info = {extraBofs, minTurnAroundTime};
    host::ndis::SetPacketMediaSpecificInfo(packet_, &information_, size);
  }

  // The packet claims this total length, whatever its chain holds.
  void ClaimLength(UINT totalLength) {
    NdisQueryPacket(packet_, nullptr, nullptr, nullptr, nullptr);
    packet_->Private.TotalLength = totalLength;
  }

  // Takes every buffer off the packet (they stay this object's, to be freed).
  void UnchainAll() {
    PNDIS_BUFFER buffer = nullptr;
    do NdisUnchainBufferAtFront(packet_, &buffer);
    while (buffer != nullptr);
  }

  PNDIS_PACKET get() const { return packet_; }

 private:
  // MEDIA_SPECIFIC_INFORMATION with its class information in place.
  struct IrdaInformation {
    struct {
      ULONG NextEntryOffset;
      NDIS_CLASS_ID ClassId;
      ULONG Size;
    } header;
    NDIS_IRDA_PACKET_INFO info;
  };
  static_assert(offsetof(IrdaInformation, info) ==
                offsetof(MEDIA_SPECIFIC_INFORMATION, ClassInformation));

  std::vector<UCHAR> bytes_;
  NDIS_HANDLE packetPool_ = nullptr;
  NDIS_HANDLE bufferPool_ = nullptr;
  PNDIS_PACKET packet_ = nullptr;
  std::vector<PNDIS_BUFFER> buffers_;
  IrdaInformation information_{};
};

}  // namespace host::ndis
