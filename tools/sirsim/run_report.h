// What one sirsim run found: per side, the protocol's view and the driver's own counters;
// the link and the data phase; times; and every check that failed. Filled by the
// scenario, printed by the summary. Plain host code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/simulation.h"

namespace sirsim {

// The driver's counters, as OID_GEN_XMIT_OK, _RCV_OK, _XMIT_ERROR, _RCV_ERROR and
// _RCV_NO_BUFFER answer them.
struct DriverCounters {
  bool answered = false;  // false when a query failed (the adapter was gone, say)
  std::uint32_t xmitOk = 0;
  std::uint32_t rcvOk = 0;
  std::uint32_t xmitError = 0;
  std::uint32_t rcvError = 0;
  std::uint32_t rcvNoBuffer = 0;
};

struct SideReport {
  std::string name;
  std::uint32_t deviceAddress = 0;
  // What the protocol above the adapter saw.
  std::uint64_t framesSent = 0;    // completed with success
  std::uint64_t bytesSent = 0;
  std::uint64_t sendsFailed = 0;   // completed with a failure status
  std::uint64_t framesReceived = 0;
  std::uint64_t bytesReceived = 0;
  std::uint64_t framesLost = 0;       // sent by the other side, never indicated here
  std::uint64_t framesCorrupted = 0;  // indicated here, not as the other side sent it
  std::vector<std::uint32_t> supportedSpeeds;
  std::uint32_t linkSpeed = 0;  // OID_IRDA_LINK_SPEED in the data phase
  DriverCounters driver;
  std::uint64_t mediumDisturbances = 0;  // disturbances that struck bytes sent to this side
  std::uint64_t struckControlBytes = 0;  // of those, the ones that made or hit a flag or escape
};

struct RunReport {
  std::uint64_t seed = 0;
  SideReport sides[2];
  std::uint8_t answerSlot = 0;
  std::uint32_t negotiatedSpeed = 0;
  // The data phase: I-frames both ways with their RR frames.
  std::uint64_t dataFrames = 0;        // I-frames handed down
  std::uint64_t dataPayloadBytes = 0;  // information bytes of the I-frames delivered
  std::uint64_t dataWireBytes = 0;     // bytes on the medium during the data phase
  host::VirtualTime dataTime = 0;
  double goodput = 0;      // bits/s: payload bits over the data phase's virtual time
  double lineGoodput = 0;  // bits/s: payload bits over the line time of the wire bytes
  // The private device-control interface.
  std::optional<std::uint32_t> driverVersion;
  std::vector<std::uint8_t> exchangeSent;
  std::vector<std::uint8_t> exchangeReply;
  std::uint32_t exchangeStatus = 0;
  // Faults the run asked for, and what came of them.
  std::uint64_t allocationsFailed = 0;
  bool unplugged = false;
  // Times.
  host::VirtualTime virtualTime = 0;
  double wallSeconds = 0;
  std::vector<std::string> trace;   // the wire, when asked for
  std::vector<std::string> errors;  // each failed check; empty: the run passed
};

}  // namespace sirsim
