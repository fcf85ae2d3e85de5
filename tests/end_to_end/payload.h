// Payloads that carry their own sequence number and checksum, so that the receiving side
// can tell from the bytes alone whether a frame was lost, duplicated, reordered or
// corrupted on its way.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "platform/ndis.h"

namespace sirtest {

using Bytes = std::vector<UCHAR>;

constexpr std::size_t kPayloadOverhead = 4;  // sequence number and checksum

inline std::uint16_t PayloadChecksum(const Bytes& payload) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 2 < payload.size(); ++i) {
    sum = static_cast<std::uint16_t>(sum * 31 + payload[i]);
  }
  return sum;
}

// A payload of `size` bytes: sequence number (2 bytes), then random bytes rich in the
// ones that need stuffing, then a checksum of everything before it (2 bytes). Below four
// bytes there is no room for the checksum.
template <class RandomBits>
Bytes MakePayload(std::uint16_t sequence, std::size_t size, RandomBits& random) {
  Bytes payload(size);
  payload[0] = static_cast<UCHAR>(sequence);
  payload[1] = static_cast<UCHAR>(sequence >> 8);
  const UCHAR special[] = {0x7D, 0xC0, 0xC1};
  for (std::size_t i = 2; i + 2 < size; ++i) {
    payload[i] = random() % 4 == 0 ? special[random() % 3] : static_cast<UCHAR>(random());
  }
  if (size >= kPayloadOverhead) {
    std::uint16_t sum = PayloadChecksum(payload);
    payload[size - 2] = static_cast<UCHAR>(sum);
    payload[size - 1] = static_cast<UCHAR>(sum >> 8);
  }
  return payload;
}

inline std::uint16_t PayloadSequence(const Bytes& payload) {
  return static_cast<std::uint16_t>(payload[0] | payload[1] << 8);
}

// The checksum at the end matches the bytes before it.
inline bool PayloadIntact(const Bytes& payload) {
  if (payload.size() < kPayloadOverhead) return false;
  std::uint16_t sum = PayloadChecksum(payload);
  return payload[payload.size() - 2] == static_cast<UCHAR>(sum) &&
         payload[payload.size() - 1] == static_cast<UCHAR>(sum >> 8);
}

}  // namespace sirtest
