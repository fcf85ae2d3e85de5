#include "tests/reliability/scenarios.h"

#include <algorithm>

#include "control/device_control.h"
#include "oid/query_information.h"
#include "sir/sir_format.h"
#include "tests/sir/sir_reference.h"

namespace sirtest::scenario {
namespace {

// Longer than any send, request or frame of these steps takes, halts and resets
// included: a step that is not over by then is reported as left pending.
constexpr host::VirtualTime kPatience = 60 * host::kSecond;
// After the peer's last byte: time for the bridge to end its short transfer and for the
// completion to indicate the frame.
constexpr host::VirtualTime kReceiveSettle = 500 * host::kMillisecond;
// Large enough for the longest answer (the supported-OID list).
constexpr ULONG kQueryLength = 256;

// The stuffed body of a frame: payload and FCS, low byte first, then EOF.
Bytes StuffedBody(const Bytes& payload) { return Cat({Stuffed(WithFcs(payload)), {kSirEof}}); }

}  // namespace

Rig::Rig(host::ndis::MiniportHost& host, const host::ndis::AdapterSettings& settings)
    : ndis(host),
      adapter(host.AddAdapter(settings)),
      peer(host::Simulation::Current(), adapter.dongle->transceiver),
      simulation_(host::Simulation::Current()) {}

PNDIS_PACKET Rig::MakePacket(const Bytes& payload) {
  packets_.push_back(std::make_unique<host::ndis::SendPacket>(payload));
  return packets_.back()->get();
}

NDIS_STATUS SendOutcome::Final() const {
  if (answered != NDIS_STATUS_PENDING) return answered;
  return completions == 0 ? NDIS_STATUS_PENDING : completedWith;
}

std::vector<SendOutcome> SendAndWait(Rig& rig, const std::vector<Bytes>& payloads) {
  const auto& completions = rig.adapter.block.sendCompletions();
  const std::size_t completionsBefore = completions.size();
  std::vector<PNDIS_PACKET> packets;
  std::vector<SendOutcome> outcomes(payloads.size());
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    packets.push_back(rig.MakePacket(payloads[i]));
    outcomes[i].answered = rig.ndis.Send(rig.adapter, packets.back());
  }
  rig.simulation().RunUntil([&] { return rig.adapter.block.pendingSends() == 0; },
                            rig.simulation().Now() + kPatience);
  for (std::size_t c = completionsBefore; c < completions.size(); ++c) {
    auto packet = std::find(packets.begin(), packets.end(), completions[c].packet);
    if (packet == packets.end()) continue;
    SendOutcome& outcome = outcomes[static_cast<std::size_t>(packet - packets.begin())];
    ++outcome.completions;
    outcome.completedWith = completions[c].status;
  }
  return outcomes;
}

Bytes SirFrame(const Bytes& payload) { return ReferenceFrame(payload, 1); }

bool PeerHeard(const Rig& rig, const Bytes& payload, std::size_t from) {
  const auto& received = rig.peer.received();
  if (from >= received.size()) return false;
  Bytes body = StuffedBody(payload);
  return std::search(received.begin() + static_cast<std::ptrdiff_t>(from), received.end(),
                     body.begin(), body.end(),
                     [](const host::devices::TimedByte& heard, UCHAR byte) {
                       return heard.value == byte;
                     }) != received.end();
}

std::vector<Bytes> ReceiveFrames(Rig& rig, const std::vector<Bytes>& payloads, ULONG speed) {
  host::ndis::MiniportBlock& block = rig.adapter.block;
  host::Simulation& simulation = rig.simulation();
  if (speed == 0) speed = rig.device()->currentSpeed;
  block.KeepPackets();
  const std::size_t indicationsBefore = block.indications().size();
  host::VirtualTime lastByte = simulation.Now();
  for (const Bytes& payload : payloads) lastByte = rig.peer.Send(SirFrame(payload), speed);
  simulation.RunUntil(
      [&] { return block.indications().size() >= indicationsBefore + payloads.size(); },
      lastByte + kReceiveSettle);
  block.ReturnAllHeld();
  std::vector<Bytes> indicated;
  for (std::size_t i = indicationsBefore; i < block.indications().size(); ++i) {
    indicated.push_back(block.indications()[i].bytes);
  }
  return indicated;
}

std::vector<NDIS_OID> AnsweredOids() {
  ULONG count = 0;
  const NDIS_OID* listed = SupportedOids(&count);
  std::vector<NDIS_OID> oids(listed, listed + count);
  oids.push_back(OID_IRDA_MAX_RECEIVE_WINDOW_SIZE);
  oids.push_back(OID_IRDA_MAX_SEND_WINDOW_SIZE);
  return oids;
}

std::vector<RequestOutcome> QueryEach(Rig& rig) {
  std::vector<RequestOutcome> outcomes;
  for (NDIS_OID oid : AnsweredOids()) {
    outcomes.push_back({oid, rig.ndis.Query(rig.adapter, oid, kQueryLength)});
  }
  return outcomes;
}

std::vector<RequestOutcome> SetEach(Rig& rig) {
  std::vector<RequestOutcome> outcomes;
  for (NDIS_OID oid : AnsweredOids()) {
    ULONG value = 0;
    if (oid == OID_IRDA_LINK_SPEED) value = rig.device()->currentSpeed;
    if (oid == OID_PNP_SET_POWER) value = NdisDeviceStateD0;
    outcomes.push_back({oid, rig.ndis.SetUlong(rig.adapter, oid, value)});
  }
  return outcomes;
}

host::ndis::RequestResult ChangeLinkSpeed(Rig& rig, ULONG speed) {
  return rig.ndis.SetUlong(rig.adapter, OID_IRDA_LINK_SPEED, speed);
}

host::ndis::RequestResult Reset(Rig& rig) { return rig.ndis.Reset(rig.adapter); }

PowerOutcome PowerDownAndUp(Rig& rig) {
  PowerOutcome outcome;
  outcome.down = rig.ndis.SetUlong(rig.adapter, OID_PNP_SET_POWER, NdisDeviceStateD3);
  outcome.up = rig.ndis.SetUlong(rig.adapter, OID_PNP_SET_POWER, NdisDeviceStateD0);
  return outcome;
}

host::io::IoResult RawExchange(Rig& rig, const Bytes& input, ULONG outputLength) {
  return host::io::DeviceControl(rig.adapter.deviceObject, IOCTL_TRANSCEIVER_EXCHANGE, input,
                                 outputLength);
}

}  // namespace sirtest::scenario
