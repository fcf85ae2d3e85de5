// The miniport host: plays NDIS for the driver's adapters. It brings an adapter up with
// its registry values and its simulated dongle (or none), calls the driver's handlers as
// NDIS would (initialization and halt at PASSIVE_LEVEL, sends at DISPATCH_LEVEL), stands
// for the bound protocol through each adapter's MiniportBlock, and checks at the
// checkpoints NDIS has (every adapter halted, a failed initialization returned) that the
// driver left nothing behind. Used from a simulation run's test thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/devices/dongle.h"
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
  NDIS_STATUS initializeStatus = NDIS_STATUS_FAILURE;
  bool initialized = false;
  bool halted = false;

  // The driver's adapter context, once initialization set it.
  template <class Context>
  Context* context() const {
    return static_cast<Context*>(block.adapterContext());
  }
};

class MiniportHost {
 public:
  // The handlers NDIS would have from the driver's registration.
  explicit MiniportHost(const NDIS50_MINIPORT_CHARACTERISTICS& handlers);
  ~MiniportHost();
  MiniportHost(const MiniportHost&) = delete;
  MiniportHost& operator=(const MiniportHost&) = delete;

  Adapter& AddAdapter(const AdapterSettings& settings = {});
  // Calls the initialize handler. A failure is a checkpoint when no other adapter runs.
  NDIS_STATUS Initialize(Adapter& adapter);
  NDIS_STATUS Send(Adapter& adapter, PNDIS_PACKET packet, UINT flags = 0);
  // Calls the halt handler; once every adapter is halted, checks for leaks.
  void Halt(Adapter& adapter);

  // Reports what the driver still holds: pool, NDIS pools, IRPs; and, per adapter,
  // sends never completed. Returns the number of findings.
  std::size_t CheckLeaks(const char* checkpoint);

  const NDIS50_MINIPORT_CHARACTERISTICS& handlers() const { return handlers_; }
  const std::vector<std::unique_ptr<Adapter>>& adapters() const { return adapters_; }

 private:
  bool AnyAdapterRunning() const;

  NDIS50_MINIPORT_CHARACTERISTICS handlers_;
  std::vector<std::unique_ptr<Adapter>> adapters_;
};

}  // namespace host::ndis
