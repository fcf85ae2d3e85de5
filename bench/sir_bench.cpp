// Framing speed on 2050-byte random payloads: the driver's encoder, and its decoder with
// the FCS test and the indication of each frame, beside a plain byte-at-a-time reference
// (an FCS computed bit by bit and a naive stuffing loop). Figures are payload MB/s.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "host/kernel/simulation.h"
#include "host/ndis/miniport_block.h"
#include "miniport/ir_device.h"
#include "receive/rx_indicate.h"
#include "receive/rx_pool.h"
#include "sir/sir_decoder.h"
#include "sir/sir_encoder.h"
#include "sir/sir_format.h"
#include "host/ndis/send_packet.h"

namespace {

constexpr std::size_t kPayloadLength = 2050;

std::vector<UCHAR> RandomPayload() {
  std::mt19937 random(2050);
  std::vector<UCHAR> payload(kPayloadLength);
  for (UCHAR& byte : payload) byte = static_cast<UCHAR>(random());
  return payload;
}

// The reference: the register one bit at a time, and one byte at a time through the loop.
USHORT BitwiseFcsStep(USHORT fcs, UCHAR byte) {
  fcs ^= byte;
  for (int bit = 0; bit < 8; ++bit) {
    fcs = static_cast<USHORT>((fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1);
  }
  return fcs;
}

void NaivePut(std::vector<UCHAR>& out, UCHAR byte) {
  if (byte == kSirBof || byte == kSirEof || byte == kSirCe) {
    out.push_back(kSirCe);
    out.push_back(byte ^ kSirEscapeXor);
  } else {
    out.push_back(byte);
  }
}

void NaiveEncode(const std::vector<UCHAR>& payload, std::vector<UCHAR>& out) {
  out.clear();
  out.push_back(kSirBof);
  USHORT fcs = 0xFFFF;
  for (UCHAR byte : payload) {
    fcs = BitwiseFcsStep(fcs, byte);
    NaivePut(out, byte);
  }
  fcs = static_cast<USHORT>(~fcs);
  NaivePut(out, static_cast<UCHAR>(fcs & 0xFF));
  NaivePut(out, static_cast<UCHAR>(fcs >> 8));
  out.push_back(kSirEof);
}

// Unstuffs one frame and tests its FCS; the number of good frames found.
int NaiveDecode(const std::vector<UCHAR>& in, std::vector<UCHAR>& frame) {
  int good = 0;
  bool inFrame = false;
  bool escape = false;
  for (UCHAR byte : in) {
    if (byte == kSirBof) {
      inFrame = true;
      escape = false;
      frame.clear();
    } else if (!inFrame) {
      continue;
    } else if (byte == kSirEof) {
      USHORT fcs = 0xFFFF;
      for (UCHAR b : frame) fcs = BitwiseFcsStep(fcs, b);
      good += frame.size() >= kSirMinFrame && static_cast<USHORT>(~fcs) == 0x0F47;
      inFrame = false;
    } else if (byte == kSirCe) {
      escape = true;
    } else {
      frame.push_back(escape ? byte ^ kSirEscapeXor : byte);
      escape = false;
    }
  }
  return good;
}

void BM_ReferenceEncode(benchmark::State& state) {
  std::vector<UCHAR> payload = RandomPayload();
  std::vector<UCHAR> out;
  out.reserve(2 * kPayloadLength + 8);
  for (auto _ : state) {
    NaiveEncode(payload, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kPayloadLength);
}
BENCHMARK(BM_ReferenceEncode);

void BM_ReferenceDecode(benchmark::State& state) {
  std::vector<UCHAR> frame;
  NaiveEncode(RandomPayload(), frame);
  std::vector<UCHAR> payload;
  payload.reserve(kPayloadLength + 2);
  for (auto _ : state) benchmark::DoNotOptimize(NaiveDecode(frame, payload));
  state.SetBytesProcessed(state.iterations() * kPayloadLength);
}
BENCHMARK(BM_ReferenceDecode);

void BM_SirEncodeFrame(benchmark::State& state) {
  host::Simulation simulation(0);
  simulation.Run([&] {
    std::vector<UCHAR> payload = RandomPayload();
    host::ndis::SendPacket packet(payload);
    packet.AttachIrdaInfo(0, 0);
    IrDevice device{};
    std::vector<UCHAR> out(kTxBufferSize);
    ULONG frameLength = 0;
    for (auto _ : state) {
      benchmark::DoNotOptimize(
          SirEncodeFrame(&device, packet.get(), out.data(), kTxBufferSize, &frameLength));
    }
  });
  state.SetBytesProcessed(state.iterations() * kPayloadLength);
}
BENCHMARK(BM_SirEncodeFrame);

// Each frame is decoded, its FCS tested, and the frame indicated; the protocol hands the
// packet back at once, so the buffers cycle.
void BM_SirDecodeAndIndicate(benchmark::State& state) {
  host::Simulation simulation(0);
  simulation.Run([&] {
    std::vector<UCHAR> frame;
    NaiveEncode(RandomPayload(), frame);
    IrDevice device{};
    host::ndis::MiniportBlock& block = host::ndis::CreateMiniportBlock(&device, MiniportReturnPacket);
    block.RecordIndications(false);
    device.miniportHandle = block.handle();
    if (SetupReceivePool(&device) != NDIS_STATUS_SUCCESS) {
      state.SkipWithError("the receive pool could not be set up");
      return;
    }
    PLIST_ENTRY first = ExfInterlockedRemoveHeadList(&device.rxFreeList, &device.rxLock);
    device.rxCurrent = CONTAINING_RECORD(first, RxBuffer, links);
    for (auto _ : state) {
      benchmark::DoNotOptimize(
          SirDecodeBytes(&device, frame.data(), static_cast<ULONG>(frame.size())));
    }
    if (device.packetsDropped != 0) state.SkipWithError("frames were dropped");
    ReleaseReceivePool(&device);
  });
  state.SetBytesProcessed(state.iterations() * kPayloadLength);
}
BENCHMARK(BM_SirDecodeAndIndicate);

}  // namespace
