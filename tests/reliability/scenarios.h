// Scenario steps for campaigns that run the driver under faults: one adapter with its
// dongle under a miniport host, a scripted peer facing its transceiver, and the things
// NDIS, the bound protocol and an application do to it (bring it up, send, receive,
// every query and set, a link-speed change, a reset, power down and up, the raw
// exchange, halt). Each step waits for what it started through the simulation, for a
// bounded span of virtual time, and answers what became of it; none asserts, so that a
// campaign decides which outcome is right under its fault. Runs on the test thread.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "host/devices/scripted_peer.h"
#include "host/io/io_manager.h"
#include "host/ndis/miniport_host.h"
#include "host/ndis/send_packet.h"
#include "miniport/ir_device.h"

namespace sirtest::scenario {

using Bytes = std::vector<UCHAR>;

// One adapter added to the host (not yet initialized) and a scripted peer on its
// infrared side. The rig keeps every packet it sent alive, so a packet the driver still
// holds stays valid until the rig goes; the rig must go before the host.
class Rig {
 public:
  explicit Rig(host::ndis::MiniportHost& ndis, const host::ndis::AdapterSettings& settings = {});
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  host::ndis::MiniportHost& ndis;
  host::ndis::Adapter& adapter;
  host::devices::ScriptedPeer peer;

  // The driver's record, once initialization has set it.
  IrDevice* device() const { return adapter.context<IrDevice>(); }
  host::Simulation& simulation() const { return simulation_; }

  // A packet of the protocol's, kept until the rig goes.
  PNDIS_PACKET MakePacket(const Bytes& payload);

 private:
  host::Simulation& simulation_;
  std::vector<std::unique_ptr<host::ndis::SendPacket>> packets_;
};

// What became of one send.
struct SendOutcome {
  NDIS_STATUS answered = NDIS_STATUS_FAILURE;  // what MiniportSend returned
  std::size_t completions = 0;                 // NdisMSendComplete calls for the packet
  NDIS_STATUS completedWith = NDIS_STATUS_FAILURE;  // the last completion's status
  // The answer, or for a pended send its completion's status (PENDING if none came).
  NDIS_STATUS Final() const;
};

// Sends the payloads one after another without waiting in between (later ones queue
// behind the first), then waits until every pended one has completed.
std::vector<SendOutcome> SendAndWait(Rig& rig, const std::vector<Bytes>& payloads);

// The SIR frame of a payload as a station sends it: one BOF, the stuffed payload and
// FCS (low byte first), EOF.
Bytes SirFrame(const Bytes& payload);
// Whether the peer has heard the payload's frame (its stuffed body, FCS and EOF) in the
// bytes it received from index `from` on.
bool PeerHeard(const Rig& rig, const Bytes& payload, std::size_t from = 0);

// The peer sends each payload's frame at `speed` (the adapter's current speed when 0);
// waits until as many new indications have arrived or the frames are long over, then
// returns every packet the protocol holds. Answers the payloads indicated meanwhile.
std::vector<Bytes> ReceiveFrames(Rig& rig, const std::vector<Bytes>& payloads, ULONG speed = 0);

// The OIDs the driver answers: its supported list and the two it answers unlisted.
std::vector<NDIS_OID> AnsweredOids();

struct RequestOutcome {
  NDIS_OID oid = 0;
  host::ndis::RequestResult result;
};
// Queries every answered OID with a buffer large enough for any of them.
std::vector<RequestOutcome> QueryEach(Rig& rig);
// Sets every answered OID with a harmless 4-byte value: the current link speed, media
// busy cleared, the full power state; 0 for the rest.
std::vector<RequestOutcome> SetEach(Rig& rig);

host::ndis::RequestResult ChangeLinkSpeed(Rig& rig, ULONG speed);
host::ndis::RequestResult Reset(Rig& rig);

struct PowerOutcome {
  host::ndis::RequestResult down;
  host::ndis::RequestResult up;
};
PowerOutcome PowerDownAndUp(Rig& rig);

// The raw transceiver exchange through the private device-control interface.
host::io::IoResult RawExchange(Rig& rig, const Bytes& input, ULONG outputLength);

}  // namespace sirtest::scenario
