// The miniport host: plays NDIS for the driver's adapters. It loads the driver through its
// entry point (or takes the handlers directly), brings an adapter up with its registry
// values, its simulated dongle (or none) and the device object NDIS makes for it, calls
// the driver's handlers as NDIS would (initialization, halt and OID_PNP_SET_POWER at
// PASSIVE_LEVEL; sends, queries, sets and resets at DISPATCH_LEVEL), issues requests one
// at a time and waits for a pended one through the simulation until the driver completes
// it, stands for the bound protocol through each adapter's MiniportBlock, and checks at
// the checkpoints NDIS has (every adapter halted, a failed initialization returned) that
// the driver left nothing behind. Used from a simulation run's test thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/devices/dongle.h"
#include "host/io/io_manager.h"
#include "host/ndis/configuration.h"
#include "host/ndis/miniport_block.h"
#include "platform/ndis.h"

namespace host::ndis {

struct AdapterSettings {
  bool withDongle = true;                      // false: NDIS reports no lower device
  std::map<std::string, ULONG> integers;       // registry values
  std::map<std::string, std::string> strings;  // registry values that are text
  bool failConfigurationOpen = false;
  std::vector<NDIS_MEDIUM> media{NdisMediumIrda};
};

class Adapter {
 public:
  Adapter(MiniportBlock& block, const AdapterSettings& settings);

  MiniportBlock& block;
  AdapterConfiguration configuration;
  std::unique_ptr<devices::Dongle> dongle;  // null without a lower device
  std::vector<NDIS_MEDIUM> media;
  UINT selectedMedium = ~0u;
  PDEVICE_OBJECT deviceObject = nullptr;  // NDIS's device object for the adapter
  NDIS_STATUS initializeStatus = NDIS_STATUS_FAILURE;
  bool initialized = false;
  bool halted = false;

  // The driver's adapter context, once initialization set it.
  template <class Context>
  Context* context() const {
    return static_cast<Context*>(block.adapterContext());
  }
};

// What became of one request.
struct RequestResult {
  NDIS_STATUS answered = NDIS_STATUS_FAILURE;  // what the handler returned
  NDIS_STATUS status = NDIS_STATUS_FAILURE;    // the final status: answered, or completed with
  bool pended = false;  // answered NDIS_STATUS_PENDING (it may have completed already)
  ULONG bytesDone = 0;  // BytesWritten of a query, BytesRead of a set
  ULONG bytesNeeded = 0;
  BOOLEAN addressingReset = FALSE;
  std::vector<UCHAR> buffer;  // the information buffer afterwards
  VirtualTime completedAt = 0;
};

// Information buffers of queries start filled with this byte, so that a test sees which
// bytes the driver wrote.
constexpr UCHAR kUnwrittenByte = 0xEE;

class MiniportHost {
 public:
  // The handlers NDIS would have from the driver's registration.
  explicit MiniportHost(const NDIS50_MINIPORT_CHARACTERISTICS& handlers);
  // Loads the driver: calls its entry point, which registers with this run's NDIS; the
  // host then uses the handlers the registration gave (none if it was refused).
  explicit MiniportHost(io::DriverEntryRoutine entry);
  ~MiniportHost();
  MiniportHost(const MiniportHost&) = delete;
  MiniportHost& operator=(const MiniportHost&) = delete;

  Adapter& AddAdapter(const AdapterSettings& settings = {});
  // Calls the initialize handler. A failure is a checkpoint when no other adapter runs.
  NDIS_STATUS Initialize(Adapter& adapter);
  NDIS_STATUS Send(Adapter& adapter, PNDIS_PACKET packet, UINT flags = 0);
  // Calls the halt handler; once every adapter is halted, checks for leaks.
  void Halt(Adapter& adapter);

  // Requests, each issued once the one before has completed; a pended one is waited for
  // through the simulation (a request never completed is reported).
  RequestResult Query(Adapter& adapter, NDIS_OID oid, ULONG length);
  RequestResult Set(Adapter& adapter, NDIS_OID oid, std::vector<UCHAR> buffer);
  RequestResult SetUlong(Adapter& adapter, NDIS_OID oid, ULONG value);
  RequestResult Reset(Adapter& adapter);

  // Reports what the driver still holds: pool, NDIS pools, IRPs; and, per adapter,
  // sends never completed. Returns the number of findings.
  std::size_t CheckLeaks(const char* checkpoint);

  const NDIS50_MINIPORT_CHARACTERISTICS& handlers() const { return handlers_; }
  io::Driver& driver() { return driver_; }
  NTSTATUS driverEntryStatus() const { return driverEntryStatus_; }
  const std::vector<std::unique_ptr<Adapter>>& adapters() const { return adapters_; }

 private:
  bool AnyAdapterRunning() const;
  // Waits for the adapter's pended request; its completion's status, or PENDING.
  void WaitForRequest(Adapter& adapter, RequestResult& result, const char* call);

  io::Driver driver_;
  NTSTATUS driverEntryStatus_ = STATUS_SUCCESS;
  NDIS50_MINIPORT_CHARACTERISTICS handlers_{};
  // Buffers of requests that never completed: the driver may still write to them.
  std::vector<std::vector<UCHAR>> abandonedBuffers_;
  std::vector<std::unique_ptr<Adapter>> adapters_;
};

}  // namespace host::ndis
