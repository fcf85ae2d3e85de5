// One side of the session as the protocol bound above an adapter sees it: it hands IrLAP
// frames down as send packets, keeps each packet until the driver completes it, takes
// note of the frames the adapter indicates, and makes information requests one at a time
// as NDIS does. Runs on the simulation's test thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "host/ndis/miniport_host.h"
#include "host/ndis/send_packet.h"
#include "tools/sirsim/irlap_frames.h"

namespace sirsim {

// Lets the simulation run until pred() holds (true) or virtual time reaches the
// deadline (false), looking every millisecond of virtual time, as a protocol's timer
// would: the test thread sleeps in between, so the devices' byte-by-byte work runs
// without waking it.
bool WaitUntil(const std::function<bool()>& pred, host::VirtualTime deadline);

struct SentFrame {
  host::VirtualTime time = 0;
  irlap::Frame frame;
  NDIS_STATUS status = NDIS_STATUS_PENDING;  // until the driver completes it
  bool completed = false;
};

struct ReceivedFrame {
  host::VirtualTime time = 0;
  irlap::Frame frame;
  UINT headerSize = 0;
};

class Station {
 public:
  Station(host::ndis::MiniportHost& miniportHost, host::ndis::Adapter& adapter);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Hands a frame down with the turnaround time the peer asked for.
  void Send(const irlap::Frame& frame, ULONG minTurnaroundMicroseconds);
  // Takes note of the send completions and indications since the last call, and frees
  // the packets the driver gave back.
  void Collect();
  std::size_t sendsInFlight() const { return inFlight_.size(); }

  // One request at a time, through NDIS; a pended one is waited for (the host reports
  // one that never completes).
  NDIS_STATUS Query(NDIS_OID oid, std::vector<std::uint8_t>& answer);
  NDIS_STATUS QueryUlong(NDIS_OID oid, ULONG& value);
  NDIS_STATUS SetUlong(NDIS_OID oid, ULONG value);

  const std::vector<SentFrame>& sent() const { return sent_; }
  const std::vector<ReceivedFrame>& received() const { return received_; }
  host::ndis::Adapter& adapter() { return adapter_; }

 private:
  struct InFlight {
    std::unique_ptr<host::ndis::SendPacket> packet;
    std::size_t record;  // index in sent_
  };

  host::ndis::MiniportHost& host_;
  host::ndis::Adapter& adapter_;
  std::deque<InFlight> inFlight_;
  std::vector<SentFrame> sent_;
  std::vector<ReceivedFrame> received_;
  std::size_t completionsSeen_ = 0;
  std::size_t indicationsSeen_ = 0;
};

}  // namespace sirsim
