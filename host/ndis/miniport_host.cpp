// The miniport host.
#include "host/ndis/miniport_host.h"

#include "host/kernel/irp.h"
#include "host/kernel/scheduler.h"
#include "host/ndis/packets.h"

namespace host::ndis {

Adapter::Adapter(MiniportBlock& miniportBlock, const AdapterSettings& settings)
    : block(miniportBlock), media(settings.media) {
  for (auto& [name, value] : settings.integers) configuration.SetInteger(name, value);
  for (auto& [name, value] : settings.strings) configuration.SetString(name, value);
  configuration.failOpen = settings.failConfigurationOpen;
  if (settings.withDongle) {
    dongle = std::make_unique<devices::Dongle>(Simulation::Current());
    block.SetLowerDevice(dongle->lower.device());
  }
}

MiniportHost::MiniportHost(const NDIS50_MINIPORT_CHARACTERISTICS& handlers)
    : handlers_(handlers) {}

MiniportHost::~MiniportHost() = default;

Adapter& MiniportHost::AddAdapter(const AdapterSettings& settings) {
  MiniportBlock& block = CreateMiniportBlock(nullptr, handlers_.ReturnPacketHandler);
  adapters_.push_back(std::make_unique<Adapter>(block, settings));
  return *adapters_.back();
}

NDIS_STATUS MiniportHost::Initialize(Adapter& adapter) {
  IrqlScope passive(PASSIVE_LEVEL);
  NDIS_STATUS openError = NDIS_STATUS_SUCCESS;
  adapter.initializeStatus = handlers_.InitializeHandler(
      &openError, &adapter.selectedMedium, adapter.media.data(),
      static_cast<UINT>(adapter.media.size()), adapter.block.handle(),
      adapter.configuration.wrapperContext());
  adapter.initialized = adapter.initializeStatus == NDIS_STATUS_SUCCESS;
  if (!adapter.initialized && !AnyAdapterRunning()) {
    CheckLeaks("after a failed MiniportInitialize");
  }
  return adapter.initializeStatus;
}

NDIS_STATUS MiniportHost::Send(Adapter& adapter, PNDIS_PACKET packet, UINT flags) {
  return adapter.block.Send(handlers_.SendHandler, packet, flags);
}

void MiniportHost::Halt(Adapter& adapter) {
  {
    IrqlScope passive(PASSIVE_LEVEL);
    handlers_.HaltHandler(adapter.block.adapterContext());
  }
  adapter.halted = true;
  adapter.block.CheckPendingSends("after MiniportHalt");
  if (!AnyAdapterRunning()) CheckLeaks("after every adapter was halted");
}

bool MiniportHost::AnyAdapterRunning() const {
  for (auto& adapter : adapters_) {
    if (adapter->initialized && !adapter->halted) return true;
  }
  return false;
}

std::size_t MiniportHost::CheckLeaks(const char* checkpoint) {
  Simulation& simulation = Simulation::Current();
  std::size_t findings = simulation.pool().CheckLeaks(checkpoint);
  findings += ndis::CheckLeaks(checkpoint);
  findings += CheckIrpLeaks(checkpoint);
  for (auto& adapter : adapters_) findings += adapter->block.CheckPendingSends(checkpoint);
  return findings;
}

}  // namespace host::ndis
