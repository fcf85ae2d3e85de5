// The deframing state machine: one table row per state, one column per kind of byte.
#include "sir/sir_decoder.h"

#include "receive/rx_indicate.h"
#include "sir/sir_format.h"

namespace {

enum class ByteKind : UCHAR { kBof, kEof, kCe, kEscaped, kOther };
constexpr ULONG kByteKinds = 5;

// kEscaped: 0x5D, 0xE0 and 0xE1, the only bytes that may follow a CE.
constexpr ByteKind KindOf(UCHAR byte) {
  if (byte == kSirBof) return ByteKind::kBof;
  if (byte == kSirEof) return ByteKind::kEof;
  if (byte == kSirCe) return ByteKind::kCe;
  if (SirNeedsEscape(byte ^ kSirEscapeXor)) return ByteKind::kEscaped;
  return ByteKind::kOther;
}

// KindOf for every byte value, worked out by the compiler: one load a byte.
struct ByteKindTable {
  ByteKind kinds[256];
};
constexpr ByteKindTable MakeByteKindTable() {
  ByteKindTable table{};
  for (ULONG value = 0; value < 256; ++value) {
    table.kinds[value] = KindOf(static_cast<UCHAR>(value));
  }
  return table;
}
constexpr ByteKindTable kByteKindTable = MakeByteKindTable();

enum class RxAction : UCHAR {
  kNone,          // the byte is a flag to follow, or is ignored
  kDiscard,       // the frame so far is given up: rxFrameLength = 0
  kStartFrame,    // the byte is the frame's first
  kStore,         // the byte is the frame's next
  kStoreEscaped,  // the byte XOR 0x20 is the frame's next
  kEndFrame,      // deliver the frame if it is long enough, then start over
};

struct RxTransition {
  RxAction action;
  RxState next;
};

using enum RxAction;
constexpr RxTransition kTransitions[4][kByteKinds] = {
    //              BOF                    EOF                 CE                   5D E0 E1                   other
    /* Hunt     */ {{kNone, AfterBof},     {kNone, Hunt},      {kNone, Hunt},       {kNone, Hunt},             {kNone, Hunt}},
    /* AfterBof */ {{kNone, AfterBof},     {kDiscard, Hunt},   {kDiscard, Escape},  {kStartFrame, InFrame},    {kStartFrame, InFrame}},
    /* Escape   */ {{kDiscard, AfterBof},  {kDiscard, Hunt},   {kDiscard, Hunt},    {kStoreEscaped, InFrame},  {kNone, Escape}},
    /* InFrame  */ {{kDiscard, AfterBof},  {kEndFrame, Hunt},  {kNone, Escape},     {kStore, InFrame},         {kStore, InFrame}},
};
static_assert(Hunt == 0 && AfterBof == 1 && Escape == 2 && InFrame == 3);

constexpr const RxTransition& TransitionFor(RxState state, UCHAR byte) {
  return kTransitions[state][static_cast<ULONG>(kByteKindTable.kinds[byte])];
}

}  // namespace

NDIS_STATUS SirDecodeBytes(IrDevice* irDevice, const UCHAR* bytes, ULONG count) {
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  RxState state = irDevice->rxState;
  ULONG length = irDevice->rxFrameLength;
  PUCHAR frame = irDevice->rxCurrent->data;

  // A frame that has grown past the limit ends the examination of this read.
  for (ULONG i = 0; i < count && length <= kSirMaxFrame; ++i) {
    UCHAR byte = bytes[i];
    const RxTransition& transition = TransitionFor(state, byte);
    switch (transition.action) {
      case RxAction::kNone:
        break;
      case RxAction::kDiscard:
        length = 0;
        break;
      case RxAction::kStartFrame:
        frame[0] = byte;
        length = 1;
        break;
      case RxAction::kStore:
        frame[length++] = byte;
        // Plain bytes inside a frame are the common case: store the run of them here, each
        // still by the table and the length test, without a trip round the outer loop.
        while (i + 1 < count && length <= kSirMaxFrame &&
               TransitionFor(InFrame, bytes[i + 1]).action == RxAction::kStore) {
          frame[length++] = bytes[++i];
        }
        break;
      case RxAction::kStoreEscaped:
        frame[length++] = byte ^ kSirEscapeXor;
        break;
      case RxAction::kEndFrame:
        // Shorter frames are line noise: dropped without a count.
        if (length >= kSirMinFrame) {
          irDevice->rxCurrent->dataLength = length;
          status = IndicateReceivePacket(irDevice);
          frame = irDevice->rxCurrent->data;  // the indication may have given a fresh buffer
        }
        length = 0;
        break;
    }
    state = transition.next;
  }

  if (length > kSirMaxFrame) {
    irDevice->rxOverflows += 1;
    state = Hunt;
    length = 0;
  }
  irDevice->rxState = state;
  irDevice->rxFrameLength = length;
  return status;
}
