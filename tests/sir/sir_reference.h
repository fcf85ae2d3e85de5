// Test references for the SIR format, written apart from the driver's code: an FCS-16
// computed bit by bit from the polynomial, a frame builder with its own stuffing loop over
// the format's constants, and payloads rich in the bytes that need stuffing.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

#include "platform/kernel.h"
#include "sir/sir_format.h"

namespace sirtest {

using Bytes = std::vector<UCHAR>;

// The complemented FCS-16, one bit at a time (reflected polynomial 0x8408, preset 0xFFFF).
inline USHORT BitwiseFcs16(const UCHAR* data, std::size_t count) {
  unsigned fcs = 0xFFFF;
  for (std::size_t i = 0; i < count; ++i) {
    fcs ^= data[i];
    for (int bit = 0; bit < 8; ++bit) fcs = (fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1;
  }
  return static_cast<USHORT>(~fcs & 0xFFFF);
}

// The frame's two FCS bytes, low byte first, unstuffed.
inline Bytes FcsBytes(const Bytes& payload) {
  USHORT fcs = BitwiseFcs16(payload.data(), payload.size());
  return {static_cast<UCHAR>(fcs & 0xFF), static_cast<UCHAR>(fcs >> 8)};
}

inline Bytes WithFcs(Bytes payload) {
  Bytes fcs = FcsBytes(payload);
  payload.insert(payload.end(), fcs.begin(), fcs.end());
  return payload;
}

inline Bytes Stuffed(const Bytes& bytes) {
  Bytes out;
  for (UCHAR byte : bytes) {
    if (byte == kSirBof || byte == kSirEof || byte == kSirCe) {
      out.push_back(kSirCe);
      out.push_back(byte ^ kSirEscapeXor);
    } else {
      out.push_back(byte);
    }
  }
  return out;
}

// A whole SIR frame: the flags, the stuffed payload and FCS, the end flag.
inline Bytes ReferenceFrame(const Bytes& payload, std::size_t flags) {
  Bytes frame(flags, kSirBof);
  Bytes body = Stuffed(WithFcs(payload));
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(kSirEof);
  return frame;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Random bytes, about a third of them BOF, EOF, CE or one of their escaped forms.
inline Bytes RandomPayload(std::mt19937& random, std::size_t length) {
  static constexpr UCHAR kTricky[] = {kSirBof, kSirEof, kSirCe, kSirBof ^ kSirEscapeXor,
                                      kSirEof ^ kSirEscapeXor, kSirCe ^ kSirEscapeXor};
  Bytes payload(length);
  for (UCHAR& byte : payload) {
    unsigned draw = random();
    byte = draw % 3 == 0 ? kTricky[(draw >> 8) % 6] : static_cast<UCHAR>(draw >> 16);
  }
  return payload;
}

}  // namespace sirtest
