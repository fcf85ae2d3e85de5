// The SIR frame format on the infrared link: flag and escape bytes, the stuffing rule
// and the frame limits. Plain byte helpers, used at any IRQL by the encoder, the decoder
// and the receive indication.
//
// A frame is one or more BOFs, the stuffed IrLAP frame, its stuffed FCS (low byte first)
// and one EOF. A payload or FCS byte equal to BOF, EOF or CE is sent as CE followed by
// the byte XOR kSirEscapeXor.
#pragma once

#include "platform/kernel.h"

constexpr UCHAR kSirBof = 0xC0;        // beginning of frame
constexpr UCHAR kSirEof = 0xC1;        // end of frame
constexpr UCHAR kSirCe = 0x7D;         // control escape
constexpr UCHAR kSirEscapeXor = 0x20;  // what the escaped byte is XORed with

constexpr ULONG kSirFcsLength = 2;
constexpr ULONG kSirMinPayload = 2;        // the IrLAP address and control bytes
constexpr ULONG kSirMaxPayload = 4265;     // the largest packet the encoder takes
constexpr ULONG kSirMaxExtraBofs = 48;     // extra BOFs a packet may ask for
constexpr ULONG kSirEncodeSlack = 165;     // capacity needed beyond 2 x payload
constexpr ULONG kSirMinFrame = 4;          // shortest frame delivered, FCS included
constexpr ULONG kSirMaxFrame = 2052;       // longest frame delivered, FCS included

constexpr bool SirNeedsEscape(UCHAR byte) {
  return byte == kSirBof || byte == kSirEof || byte == kSirCe;
}

// Writes one byte stuffed at out; returns the position after it.
inline PUCHAR SirWriteStuffed(PUCHAR out, UCHAR byte) {
  if (SirNeedsEscape(byte)) {
    *out++ = kSirCe;
    *out++ = byte ^ kSirEscapeXor;
  } else {
    *out++ = byte;
  }
  return out;
}
