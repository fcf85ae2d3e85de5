// Fuzz target for the SIR deframer: arbitrary bytes, cut into reads of arbitrary sizes,
// go to SirDecodeBytes on an IrDevice whose receive pool is set up as the read loop leaves
// it. After every read the pool's invariants are checked, and the deframer's state, its
// partial frame, the indicated frames and the counters are compared with a reference
// deframer fed the same reads.
//
// Input: a byte for the protocol's behaviour, a byte for the pattern of returns of kept
// packets, a byte whose bit 0 turns on failures of the driver's allocations (the NDIS
// buffer of an indication), a byte for the number of read sizes (1 to 8), that many
// 16-bit read sizes (1 to 2048), then the received bytes, cut by the sizes in turn.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/reference_deframer.h"
#include "host/ndis/miniport_block.h"
#include "host/ndis/packets.h"
#include "miniport/ir_device.h"
#include "receive/rx_indicate.h"
#include "receive/rx_pool.h"
#include "sir/sir_decoder.h"

namespace sirfuzz {
namespace {

enum class Protocol : std::uint8_t {
  kHandBack,           // back at once, NDIS_STATUS_SUCCESS
  kHandBackResources,  // back at once, NDIS_STATUS_RESOURCES
  kReturnDuring,       // returned while the indication still runs
  kKeep,               // kept; returned later by the return pattern
};
constexpr std::uint8_t kProtocols = 4;

struct Choices {
  Protocol protocol = Protocol::kHandBack;
  std::uint8_t returnPattern = 0;  // 2 bits a read: how many kept packets come back
  bool failAllocations = false;
  std::vector<std::size_t> readSizes;
};

Choices ReadChoices(FuzzInput& input) {
  Choices choices;
  choices.protocol = static_cast<Protocol>(input.Byte() % kProtocols);
  choices.returnPattern = input.Byte();
  choices.failAllocations = (input.Byte() & 1) != 0;
  std::size_t sizes = input.Byte() % 8 + 1;
  for (std::size_t i = 0; i < sizes; ++i) {
    choices.readSizes.push_back(1 + input.Short() % kReadBufferSize);
  }
  return choices;
}

std::size_t IndexOf(const IrDevice& device, const RxBuffer* buffer) {
  std::ptrdiff_t index = buffer - device.rxBuffers;
  Require(index >= 0 && index < static_cast<std::ptrdiff_t>(kRxBufferCount) &&
              &device.rxBuffers[index] == buffer,
          "a receive list holds something that is not a receive buffer");
  return static_cast<std::size_t>(index);
}

// Counts the list's buffers into `places`; the list must be well linked and hold at most
// all fourteen.
std::size_t CountList(const IrDevice& device, const LIST_ENTRY& head, std::size_t* places) {
  std::size_t length = 0;
  for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
    Require(link->Flink->Blink == link, "a receive list is badly linked");
    Require(++length <= kRxBufferCount, "a receive list runs on past fourteen buffers");
    places[IndexOf(device, CONTAINING_RECORD(const_cast<LIST_ENTRY*>(link), RxBuffer, links))]++;
  }
  return length;
}

bool HasDescriptor(PNDIS_PACKET packet) {
  PNDIS_BUFFER first = nullptr;
  NdisQueryPacket(packet, nullptr, nullptr, &first, nullptr);
  return first != nullptr;
}

// What holds between reads: every buffer in exactly one place, free buffers empty and
// without a descriptor, the pending ones exactly those the protocol keeps, no indication
// under way, and a legal deframer state.
void CheckPool(const IrDevice& device, const host::ndis::MiniportBlock& block) {
  std::size_t places[kRxBufferCount] = {};
  CountList(device, device.rxFreeList, places);
  std::size_t pending = CountList(device, device.rxPendingList, places);
  Require(device.rxCurrent != nullptr, "no current receive buffer");
  places[IndexOf(device, device.rxCurrent)]++;
  for (std::size_t i = 0; i < kRxBufferCount; ++i) {
    Require(places[i] == 1, "a receive buffer is in no place or in two");
    const RxBuffer& buffer = device.rxBuffers[i];
    Require(buffer.dataLength <= kRxBufferSize, "a receive buffer's length is past its capacity");
    Require(!buffer.indicating && !buffer.returned, "a buffer is marked outside an indication");
  }
  for (const LIST_ENTRY* link = device.rxFreeList.Flink; link != &device.rxFreeList;
       link = link->Flink) {
    const RxBuffer* buffer = CONTAINING_RECORD(const_cast<LIST_ENTRY*>(link), RxBuffer, links);
    Require(buffer->dataLength == 0 && !HasDescriptor(buffer->packet),
            "a free buffer still holds a frame");
  }
  Require(pending == block.held().size(), "the pending list is not what the protocol keeps");
  Require(device.rxCurrent->dataLength == 0, "the current buffer claims a frame between reads");
  Require(device.rxState <= InFrame, "the deframer's state is not one of its four");
  Require(device.rxFrameLength <= kSirMaxFrame, "the partial frame is past the limit");
  Require((device.rxState != Hunt && device.rxState != AfterBof) || device.rxFrameLength == 0,
          "hunting or after a BOF with frame bytes collected");
}

// The deframer's state and partial frame agree with the reference's.
void CheckAgainstReference(const IrDevice& device, const ReferenceDeframer& reference) {
  const Bytes& partial = reference.partialFrame();
  Require(device.rxFrameLength == partial.size(), "the partial frame's length differs");
  Require(std::equal(partial.begin(), partial.end(), device.rxCurrent->data),
          "the partial frame's bytes differ");
  using State = ReferenceDeframer::State;
  switch (reference.state()) {
    case State::kHunting:
      Require(device.rxState == Hunt, "the deframer should be hunting");
      break;
    case State::kInFrame:
      Require(device.rxState == (partial.empty() ? AfterBof : InFrame),
              "the deframer should be in a frame");
      break;
    case State::kEscaped:
      Require(device.rxState == Escape, "the deframer should be after an escape");
      break;
  }
  Require(device.rxOverflows == reference.overflows(), "the overflow count differs");
}

// The frames the protocol saw are, in order, frames with a good FCS that the reference
// found, without their FCS; every other frame the reference found was dropped and counted.
// Only when the protocol always gives packets back and no allocation fails must each good
// frame have been indicated.
void CheckIndications(const IrDevice& device, const host::ndis::MiniportBlock& block,
                      const ReferenceDeframer& reference, bool everyGoodFrame) {
  std::size_t next = 0;
  std::size_t good = 0;
  const auto& indications = block.indications();
  for (const Bytes& frame : reference.frames()) {
    if (!ReferenceDeframer::GoodFcs(frame)) continue;
    good += 1;
    Bytes payload(frame.begin(), frame.end() - kSirFcsLength);
    if (next < indications.size() && indications[next].bytes == payload) {
      Require(indications[next].headerSize == 2, "a frame was indicated without its header size");
      next += 1;
    }
  }
  Require(next == indications.size(), "an indicated frame is not one the reference found");
  Require(device.packetsDropped == reference.frames().size() - indications.size(),
          "the dropped count is not the frames found less those indicated");
  if (everyGoodFrame) Require(indications.size() == good, "a good frame was not indicated");
}

// Gives back `count` of the packets the protocol keeps, oldest first.
void ReturnKept(host::ndis::MiniportBlock& block, std::size_t count) {
  for (; count != 0 && !block.held().empty(); --count) block.ReturnPacket(block.held().front());
}

void DecodeReads(const Choices& choices, FuzzInput& input, host::Simulation& simulation) {
  auto owned = std::make_unique<IrDevice>();
  IrDevice& device = *owned;
  host::ndis::MiniportBlock& block =
      host::ndis::CreateMiniportBlock(&device, MiniportReturnPacket);
  device.miniportHandle = block.handle();
  switch (choices.protocol) {
    case Protocol::kHandBack:
      break;
    case Protocol::kHandBackResources:
      block.HandBackPackets(NDIS_STATUS_RESOURCES);
      break;
    case Protocol::kReturnDuring:
      block.ReturnDuringIndication();
      break;
    case Protocol::kKeep:
      block.KeepPackets();
      break;
  }
  std::size_t liveBefore = simulation.pool().LiveCount();
  std::size_t packetPoolsBefore = host::ndis::LivePacketPools();
  std::size_t bufferPoolsBefore = host::ndis::LiveBufferPools();
  Require(SetupReceivePool(&device) == NDIS_STATUS_SUCCESS, "the receive pool was not set up");
  // The read loop's start: the first free buffer becomes the one the deframer fills.
  device.rxCurrent = CONTAINING_RECORD(
      ExfInterlockedRemoveHeadList(&device.rxFreeList, &device.rxLock), RxBuffer, links);
  if (choices.failAllocations) simulation.faults().FailRandomly(0.25, choices.returnPattern);

  ReferenceDeframer reference;
  for (std::size_t read = 0; !input.empty(); ++read) {
    std::span<const UCHAR> bytes = input.Take(choices.readSizes[read % choices.readSizes.size()]);
    SirDecodeBytes(&device, bytes.data(), static_cast<ULONG>(bytes.size()));
    reference.Feed(bytes);
    CheckPool(device, block);
    CheckAgainstReference(device, reference);
    if (choices.protocol == Protocol::kKeep) {
      ReturnKept(block, (choices.returnPattern >> (read % 4 * 2)) & 3);
      CheckPool(device, block);
    }
  }
  CheckIndications(device, block, reference,
                   choices.protocol != Protocol::kKeep && !choices.failAllocations);

  simulation.faults().Reset();
  block.ReturnAllHeld();
  ReleaseReceivePool(&device);
  Require(simulation.pool().LiveCount() == liveBefore, "receive memory left after the release");
  Require(host::ndis::LivePacketPools() == packetPoolsBefore &&
              host::ndis::LiveBufferPools() == bufferPoolsBefore,
          "receive pools left after the release");
}

}  // namespace
}  // namespace sirfuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sirfuzz::FuzzInput input(data, size);
  sirfuzz::Choices choices = sirfuzz::ReadChoices(input);
  sirfuzz::RunSimulation(0, [&](host::Simulation& simulation) {
    sirfuzz::DecodeReads(choices, input, simulation);
  });
  return 0;
}
