// The per-adapter record of the host's NDIS, the protocol stand-in and the receive
// indication.
#include "host/ndis/miniport_block.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "host/kernel/scheduler.h"
#include "host/ndis/ndis_objects.h"
#include "host/ndis/packets.h"

namespace host::ndis {
namespace {

struct MiniportBlocks {
  std::vector<std::unique_ptr<MiniportBlock>> blocks;
};


}  // namespace

MiniportBlock& CreateMiniportBlock(NDIS_HANDLE adapterContext,
                                   W_RETURN_PACKET_HANDLER returnPacketHandler) {
  auto& blocks = Simulation::Current().Extension<MiniportBlocks>().blocks;
  blocks.push_back(std::make_unique<MiniportBlock>(adapterContext, returnPacketHandler));
  return *blocks.back();
}

MiniportBlock* FindMiniportBlock(NDIS_HANDLE handle, const char* call) {
  for (auto& block : Simulation::Current().Extension<MiniportBlocks>().blocks) {
    if (block->handle() == handle) return block.get();
  }
  Simulation::Current().verifier().Report(rule::kNdisUnknownAdapter, call,
                                          "adapter handle " + DescribeAddress(handle) +
                                              " was never given to the driver");
  return nullptr;
}

void MiniportBlock::Indicate(PNDIS_PACKET packet) {
  PacketRecord* record = FindPacket(packet, "NdisMIndicateReceivePacket");
  if (record == nullptr) return;
  if (record->heldByProtocol) {
    Simulation::Current().verifier().Report(
        rule::kNdisIndicateHeldPacket, "NdisMIndicateReceivePacket",
        "packet " + DescribeAddress(packet) + " is indicated again before the protocol returned it");
    return;
  }
  returnedSince_.erase(packet);
  if (recordIndications_) {
    indications_.push_back(Indication{Simulation::Current().Now(), packet, PacketBytes(packet),
                                      record->headerSize, NDIS_STATUS_SUCCESS});
  }

  if (action_ == ProtocolAction::kHandBack) {
    record->status = statusLeft_;
  } else {
    record->heldByProtocol = true;
    held_.push_back(packet);
    record->status = NDIS_STATUS_PENDING;
    if (action_ == ProtocolAction::kReturnDuringIndication) {
      PNDIS_BUFFER head = packet->Private.Head;
      ReturnPacket(packet);
      // The packet is NDIS's until the indication returns: the handler may only take note.
      if (Objects().packets.count(packet) == 0 || packet->Private.Head != head) {
        Simulation::Current().verifier().Report(
            rule::kNdisPacketChangedInIndication, "NdisMIndicateReceivePacket",
            "the return-packet handler freed or unchained packet " + DescribeAddress(packet) +
                " while it was being indicated");
        if (Objects().packets.count(packet) == 0) return;
      }
      record->status = statusLeft_;
    }
  }
  if (recordIndications_) indications_.back().statusLeft = record->status;
}

void MiniportBlock::ReturnPacket(PNDIS_PACKET packet) {
  auto found = std::find(held_.begin(), held_.end(), packet);
  if (found != held_.end()) {
    held_.erase(found);
    if (PacketRecord* record = FindPacket(packet, "NdisReturnPackets")) {
      record->heldByProtocol = false;
    }
    returnedSince_.insert(packet);
  } else {
    bool twice = returnedSince_.count(packet) != 0;
    Simulation::Current().verifier().Report(
        twice ? rule::kNdisReturnedTwice : rule::kNdisReturnNotIndicated, "NdisReturnPackets",
        "packet " + DescribeAddress(packet) +
            (twice ? " was returned already" : " is not held by the protocol"));
  }
  IrqlScope dispatch(DISPATCH_LEVEL);
  returnPacketHandler_(adapterContext_, packet);
}

void MiniportBlock::ReturnAllHeld() {
  while (!held_.empty()) ReturnPacket(held_.front());
}

}  // namespace host::ndis

extern "C" {

void NdisMIndicateReceivePacket(NDIS_HANDLE miniportAdapterHandle, PPNDIS_PACKET packets,
                                UINT numberOfPackets) {
  host::Simulation::Current().scheduler().SchedulingPoint();
  host::ndis::MiniportBlock* block =
      host::ndis::FindMiniportBlock(miniportAdapterHandle, "NdisMIndicateReceivePacket");
  if (block == nullptr) return;
  for (UINT i = 0; i < numberOfPackets; ++i) block->Indicate(packets[i]);
}

}  // extern "C"
