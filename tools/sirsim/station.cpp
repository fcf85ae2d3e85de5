// The protocol's side of one adapter.
#include "tools/sirsim/station.h"

#include <algorithm>
#include <cstring>


namespace sirsim {

bool WaitUntil(const std::function<bool()>& pred, host::VirtualTime deadline) {
  constexpr host::VirtualTime kPollInterval = host::kMillisecond;
  host::Simulation& simulation = host::Simulation::Current();
  while (!pred()) {
    host::VirtualTime left = deadline - simulation.Now();
    if (left <= 0) return false;
    NdisMSleep(static_cast<ULONG>(std::min(left, kPollInterval) / host::kMicrosecond + 1));
  }
  return true;
}

Station::Station(host::ndis::MiniportHost& miniportHost, host::ndis::Adapter& adapter)
    : host_(miniportHost), adapter_(adapter) {
  // The IrDA protocol keeps each indicated packet, copies the frame out, and returns the
  // packet later, as Collect does.
  adapter_.block.KeepPackets();
}

Station::~Station() = default;

void Station::Send(const irlap::Frame& frame, ULONG minTurnaroundMicroseconds) {
  Collect();  // packets completed so far are freed before another may take their place
  auto packet = std::make_unique<host::ndis::SendPacket>(frame);
  packet->AttachIrdaInfo(0, minTurnaroundMicroseconds);
  sent_.push_back(SentFrame{host::Simulation::Current().Now(), frame});
  PNDIS_PACKET descriptor = packet->get();
  inFlight_.push_back(InFlight{std::move(packet), sent_.size() - 1});
  NDIS_STATUS status = host_.Send(adapter_, descriptor);
  if (status != NDIS_STATUS_PENDING) {
    // Answered at once: NDIS has the packet back, and no completion will come for it.
    sent_.back().status = status;
    sent_.back().completed = true;
    inFlight_.pop_back();
  }
  Collect();
}

void Station::Collect() {
  const auto& completions = adapter_.block.sendCompletions();
  for (; completionsSeen_ < completions.size(); ++completionsSeen_) {
    const host::ndis::SendCompletion& completion = completions[completionsSeen_];
    auto found = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const InFlight& entry) {
      return entry.packet->get() == completion.packet;
    });
    if (found == inFlight_.end()) continue;  // the host's verifier reports a stray one
    sent_[found->record].status = completion.status;
    sent_[found->record].completed = true;
    inFlight_.erase(found);
  }
  const auto& indications = adapter_.block.indications();
  for (; indicationsSeen_ < indications.size(); ++indicationsSeen_) {
    const host::ndis::Indication& indication = indications[indicationsSeen_];
    received_.push_back(ReceivedFrame{indication.time, indication.bytes, indication.headerSize});
  }
  if (!adapter_.block.held().empty()) adapter_.block.ReturnAllHeld();
}

NDIS_STATUS Station::Query(NDIS_OID oid, std::vector<std::uint8_t>& answer) {
  constexpr ULONG kAnswerRoom = 512;
  host::ndis::RequestResult result = host_.Query(adapter_, oid, kAnswerRoom);
  answer = result.buffer;
  answer.resize(std::min<std::size_t>(result.bytesDone, answer.size()));
  return result.status;
}

NDIS_STATUS Station::QueryUlong(NDIS_OID oid, ULONG& value) {
  std::vector<std::uint8_t> answer;
  NDIS_STATUS status = Query(oid, answer);
  if (status == NDIS_STATUS_SUCCESS && answer.size() < sizeof value) status = NDIS_STATUS_FAILURE;
  if (status == NDIS_STATUS_SUCCESS) std::memcpy(&value, answer.data(), sizeof value);
  return status;
}

NDIS_STATUS Station::SetUlong(NDIS_OID oid, ULONG value) {
  return host_.SetUlong(adapter_, oid, value).status;
}

}  // namespace sirsim
