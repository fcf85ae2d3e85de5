// The SIR frame encoder: start flags, stuffed payload from the packet's buffer chain,
// stuffed FCS and end flag, in one pass straight into the caller's output area.
#include "sir/sir_encoder.h"

#include "sir/fcs16.h"
#include "sir/sir_format.h"

namespace {

// Turnaround flags: bits/s x microseconds / (1,000,000 microseconds x 10 bit times a flag).
constexpr ULONG kFlagTimeDivisor = 10'000'000;

// Bytes after the flags in the worst case: every payload byte and both FCS bytes
// stuffed, and the EOF. The capacity test leaves at least 160 bytes for flags beyond it.
constexpr ULONG WorstCaseBody(ULONG payloadLength) {
  return 2 * payloadLength + 2 * kSirFcsLength + 1;
}

// The number of BOFs for this frame; clears applyTurnaround when the turnaround time is
// taken into account. Turnaround flags are limited to the room the capacity leaves, so
// that the frame still goes out, with a shorter turnaround, rather than failing each time.
ULONG StartFlagCount(IrDevice* irDevice, const NDIS_IRDA_PACKET_INFO& info,
                     ULONG payloadLength, ULONG capacity) {
  ULONG extra = info.ExtraBOFs > kSirMaxExtraBofs ? kSirMaxExtraBofs : info.ExtraBOFs;
  if (ReadOnce(irDevice->applyTurnaround) && info.MinTurnAroundTime != 0) {
    // The flags that fill the turnaround time at this speed; the first flag counts.
    extra += irDevice->currentSpeed * info.MinTurnAroundTime / kFlagTimeDivisor;
    if (extra != 0) extra -= 1;
    WriteOnce(irDevice->applyTurnaround, FALSE);
  }
  ULONG room = capacity - WorstCaseBody(payloadLength);
  return extra + 1 > room ? room : extra + 1;
}

}  // namespace

PNDIS_IRDA_PACKET_INFO GetPacketIrdaInfo(PNDIS_PACKET packet) {
  PVOID information = nullptr;
  UINT size = 0;
  NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(packet, &information, &size);
  constexpr UINT kNeeded = __builtin_offsetof(MEDIA_SPECIFIC_INFORMATION, ClassInformation) +
                           sizeof(NDIS_IRDA_PACKET_INFO);
  if (information == nullptr || size < kNeeded) return nullptr;
  auto* record = static_cast<PMEDIA_SPECIFIC_INFORMATION>(information);
  return reinterpret_cast<PNDIS_IRDA_PACKET_INFO>(record->ClassInformation);
}

BOOLEAN SirEncodeFrame(IrDevice* irDevice, PNDIS_PACKET packet, PUCHAR out, ULONG capacity,
                       PULONG frameLength) {
  // Without IrDA information a packet gets no extra flags and no turnaround.
  NDIS_IRDA_PACKET_INFO info = {0, 0};
  if (PNDIS_IRDA_PACKET_INFO attached = GetPacketIrdaInfo(packet)) info = *attached;

  PNDIS_BUFFER buffer = nullptr;
  UINT totalLength = 0;
  NdisQueryPacket(packet, nullptr, nullptr, &buffer, &totalLength);
  if (totalLength < kSirMinPayload) return FALSE;
  if (totalLength > kSirMaxPayload || 2 * totalLength + kSirEncodeSlack > capacity) {
    *frameLength = totalLength;
    return FALSE;
  }
  if (buffer == nullptr) return FALSE;
  PVOID address = nullptr;
  UINT available = 0;
  NdisQueryBuffer(buffer, &address, &available);

  PUCHAR cursor = out;
  ULONG flags = StartFlagCount(irDevice, info, totalLength, capacity);
  RtlFillMemory(cursor, flags, kSirBof);
  cursor += flags;

  USHORT fcs = kFcs16Initial;
  ULONG remaining = totalLength;
  const UCHAR* bytes = static_cast<const UCHAR*>(address);
  while (remaining != 0) {
    if (available == 0) {
      // This buffer is used up (or was empty): go on with the next, reading nothing here.
      NdisGetNextBuffer(buffer, &buffer);
      if (buffer == nullptr) break;
      NdisQueryBuffer(buffer, &address, &available);
      bytes = static_cast<const UCHAR*>(address);
      continue;
    }
    ULONG run = available < remaining ? available : remaining;
    for (ULONG i = 0; i < run; ++i) {
      fcs = Fcs16Update(fcs, bytes[i]);
      cursor = SirWriteStuffed(cursor, bytes[i]);
    }
    bytes += run;
    available -= run;
    remaining -= run;
  }
  if (remaining != 0) {
    *frameLength = 0;
    return FALSE;
  }

  fcs = static_cast<USHORT>(~fcs);
  cursor = SirWriteStuffed(cursor, static_cast<UCHAR>(fcs & 0xFF));
  cursor = SirWriteStuffed(cursor, static_cast<UCHAR>(fcs >> 8));
  *cursor++ = kSirEof;
  *frameLength = static_cast<ULONG>(cursor - out);
  return TRUE;
}
