// FCS-16, the frame check sequence of every SIR frame (CRC-CCITT, polynomial
// x^16 + x^12 + x^5 + 1 taken least significant bit first, preset to all ones, result
// complemented), computed with a constant table. Reentrant, any IRQL.
#pragma once

#include "platform/kernel.h"

constexpr USHORT kFcs16Initial = 0xFFFF;
// ComputeFcs16 over an intact frame followed by its two FCS bytes gives this value.
constexpr USHORT kFcs16Good = 0x0F47;

// Entry i is the register change for the byte i (reflected polynomial 0x8408).
extern const USHORT kFcs16Table[256];

// Takes one byte into a running (not yet complemented) FCS register.
inline USHORT Fcs16Update(USHORT fcs, UCHAR byte) {
  return static_cast<USHORT>((fcs >> 8) ^ kFcs16Table[(fcs ^ byte) & 0xFF]);
}

// The complemented FCS-16 of count bytes; 0x0000 for none.
USHORT ComputeFcs16(const UCHAR* data, ULONG count);
