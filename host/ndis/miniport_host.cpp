// The miniport host.
#include "host/ndis/miniport_host.h"

#include <cstring>

#include "host/kernel/irp.h"
#include "host/kernel/scheduler.h"
#include "host/ndis/packets.h"
#include "host/ndis/registration.h"

namespace host::ndis {
namespace {

// How long NDIS waits for a pended request before the host calls it lost. NDIS itself
// waits for ever (the driver asks it to ignore request time-outs); no request of the
// driver's takes more than a few seconds of virtual time.
constexpr VirtualTime kRequestPatience = 10 * 60 * kSecond;

}  // namespace

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

MiniportHost::MiniportHost(io::DriverEntryRoutine entry) {
  driverEntryStatus_ = driver_.Load(entry);
  const Registration& registration = CurrentRegistration();
  if (registration.accepted && registration.characteristics) {
    handlers_ = *registration.characteristics;
  }
}

MiniportHost::~MiniportHost() = default;

Adapter& MiniportHost::AddAdapter(const AdapterSettings& settings) {
  MiniportBlock& block = CreateMiniportBlock(nullptr, handlers_.ReturnPacketHandler);
  adapters_.push_back(std::make_unique<Adapter>(block, settings));
  adapters_.back()->deviceObject = driver_.CreateDevice();
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

void MiniportHost::WaitForRequest(Adapter& adapter, RequestResult& result, const char* call) {
  MiniportBlock& block = adapter.block;
  result.status = result.answered;
  bool outstanding = block.EndRequestCall(result.answered, call);
  result.pended = result.answered == NDIS_STATUS_PENDING;
  if (!outstanding) {
    result.completedAt = Simulation::Current().Now();
    if (result.answered == NDIS_STATUS_PENDING) {
      result.status = block.requestCompletions().back().status;  // completed in the handler
    }
    return;
  }
  Simulation& simulation = Simulation::Current();
  simulation.RunUntil([&] { return !block.requestOutstanding(); },
                      AddSaturating(simulation.Now(), kRequestPatience));
  if (block.requestOutstanding()) {
    block.CheckPendingRequests(call);
    abandonedBuffers_.push_back(result.buffer);
    return;
  }
  result.status = block.requestCompletions().back().status;
  result.completedAt = block.requestCompletions().back().time;
}

RequestResult MiniportHost::Query(Adapter& adapter, NDIS_OID oid, ULONG length) {
  RequestResult result;
  result.buffer.assign(length, kUnwrittenByte);
  adapter.block.BeginRequest(RequestKind::kQuery, "MiniportQueryInformation");
  {
    IrqlScope dispatch(DISPATCH_LEVEL);
    result.answered = handlers_.QueryInformationHandler(
        adapter.block.adapterContext(), oid, result.buffer.empty() ? nullptr : result.buffer.data(),
        length, &result.bytesDone, &result.bytesNeeded);
  }
  WaitForRequest(adapter, result, "MiniportQueryInformation");
  return result;
}

RequestResult MiniportHost::Set(Adapter& adapter, NDIS_OID oid, std::vector<UCHAR> buffer) {
  RequestResult result;
  result.buffer = std::move(buffer);
  adapter.block.BeginRequest(RequestKind::kSet, "MiniportSetInformation");
  {
    // NDIS sets the power state at PASSIVE_LEVEL, so that the driver may block there.
    IrqlScope irql(oid == OID_PNP_SET_POWER ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    result.answered = handlers_.SetInformationHandler(
        adapter.block.adapterContext(), oid, result.buffer.empty() ? nullptr : result.buffer.data(),
        static_cast<ULONG>(result.buffer.size()), &result.bytesDone, &result.bytesNeeded);
  }
  WaitForRequest(adapter, result, "MiniportSetInformation");
  return result;
}

RequestResult MiniportHost::SetUlong(Adapter& adapter, NDIS_OID oid, ULONG value) {
  std::vector<UCHAR> buffer(sizeof value);
  std::memcpy(buffer.data(), &value, sizeof value);
  return Set(adapter, oid, std::move(buffer));
}

RequestResult MiniportHost::Reset(Adapter& adapter) {
  RequestResult result;
  adapter.block.BeginRequest(RequestKind::kReset, "MiniportReset");
  {
    IrqlScope dispatch(DISPATCH_LEVEL);
    result.answered = handlers_.ResetHandler(&result.addressingReset, adapter.block.adapterContext());
  }
  WaitForRequest(adapter, result, "MiniportReset");
  return result;
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
  for (auto& adapter : adapters_) {
    findings += adapter->block.CheckPendingSends(checkpoint);
    findings += adapter->block.CheckPendingRequests(checkpoint);
  }
  return findings;
}

}  // namespace host::ndis
