// USB faults against a whole adapter, one fresh simulation per case: each control
// request stalled or failed in each phase that makes it, a device that stops answering
// one kind of request, the device removed in the middle of an operation, and requests
// completed inside IofCallDriver through a whole lifecycle. Every case must end with the
// status the operation owes or a link that works again, every send, request and IRP
// completed once, a halt within its bound, and no leak or verifier finding.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/usb/lower_device.h"
#include "tests/host/kernel_test_support.h"
#include "tests/miniport/adapter_scripted_bus.h"
#include "tests/reliability/usb_fault_support.h"
#include "tests/support/fresh_run.h"

namespace sirtest {
namespace {

using host::usb::ControlRequest;
using host::usb::Delivery;
using host::usb::RequestKind;
using host::usb::UrbResult;

constexpr ULONG kD0 = NdisDeviceStateD0;
constexpr ULONG kD3 = NdisDeviceStateD3;
constexpr UrbResult kDeviceError{STATUS_DEVICE_DATA_ERROR, host::usb::USBD_STATUS_STALL_PID};

// Scenarios run and cases that went wrong, for the campaign's summary line.
struct Tally {
  int scenarios = 0;
  int failed = 0;
  int recoveredByReset = 0;  // a step that reports nothing left the link down
};
Tally tally;

class SummaryLine : public ::testing::Environment {
 public:
  void TearDown() override {
    if (tally.scenarios > 0) {
      std::printf("[ USB FAULTS ] %d fault scenarios run, %d failed, %d needed a reset\n",
                  tally.scenarios, tally.failed, tally.recoveredByReset);
    }
  }
};
const auto* const summaryLine = ::testing::AddGlobalTestEnvironment(new SummaryLine);

// Runs one case in a fresh simulation and fails the test with its name and seed when the
// run ends with a finding, a deadlock or a failed assertion.
void RunCase(const std::string& name, const std::function<void(host::Simulation&)>& prepare,
             const std::function<void(host::Simulation&)>& body) {
  const std::uint64_t seed = host::SeedFromEnvironment();
  const ::testing::TestResult& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
  const int partsBefore = result.total_part_count();
  FreshRun run = RunFresh(seed, prepare, [&](host::Simulation& simulation) {
    SCOPED_TRACE(name);
    body(simulation);
  });
  EXPECT_TRUE(run.findings.empty() && run.result.outcome == host::RunOutcome::kFinished)
      << name << " (SIR_SIM_SEED=" << seed << ")\n" << run.Describe();
  ++tally.scenarios;
  for (int i = partsBefore; i < result.total_part_count(); ++i) {
    if (result.GetTestPartResult(i).failed()) {
      ++tally.failed;
      ADD_FAILURE() << "in " << name << " (SIR_SIM_SEED=" << seed << ")";
      break;
    }
  }
}

// Power management by the driver itself: a system older than WDM 1.05.
void DriverManagesPower(host::Simulation& simulation) { simulation.SetWdmVersion(1, 0); }

// --- The phases an adapter's control requests are made in ---------------------------

enum class Phase { kInitialize, kSpeedChange, kReset, kPowerUp, kRecovery, kHalt };

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kInitialize: return "initialization";
    case Phase::kSpeedChange: return "speed change";
    case Phase::kReset: return "reset";
    case Phase::kPowerUp: return "power up";
    case Phase::kRecovery: return "device-error recovery";
    case Phase::kHalt: return "halt";
  }
  return "";
}

const char* RequestName(ControlRequest request) {
  switch (request) {
    case ControlRequest::kDeviceDescriptor: return "device descriptor";
    case ControlRequest::kConfigurationDescriptor: return "configuration descriptor";
    case ControlRequest::kSelectConfiguration: return "select configuration";
    case ControlRequest::kDeconfigure: return "deconfigure";
    case ControlRequest::kSetLineCoding: return "set line coding";
    case ControlRequest::kSetControlLineState: return "set control line state";
  }
  return "";
}

const char* KindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::kGetDescriptor: return "get descriptor";
    case RequestKind::kSelectConfiguration: return "select configuration";
    case RequestKind::kClassRequest: return "class request";
    case RequestKind::kBulkOut: return "bulk out";
    case RequestKind::kBulkIn: return "bulk in";
    case RequestKind::kInterruptIn: return "interrupt in";
  }
  return "";
}

// Brings the adapter to where the phase begins; false when it could not.
bool PrepareFor(Phase phase, UsbRig& rig) {
  if (phase == Phase::kInitialize) return true;
  if (rig.Initialize() != NDIS_STATUS_SUCCESS) return false;
  switch (phase) {
    case Phase::kReset:
    case Phase::kPowerUp:
      // Away from 9600, so that the phase has a speed to bring back.
      if (rig.SetSpeed(57600) != NDIS_STATUS_SUCCESS) return false;
      if (phase == Phase::kPowerUp) return rig.SetPower(kD3) == NDIS_STATUS_SUCCESS;
      return true;
    case Phase::kRecovery: {
      // A read that ends with a device error stops the receive loop until a write
      // succeeds; the station's frame makes the read in flight complete.
      rig.lower().FailNext(RequestKind::kBulkIn,
                           {STATUS_DEVICE_DATA_ERROR, host::usb::USBD_STATUS_STALL_PID});
      std::string link = rig.CheckLink(9600);
      if (!link.empty()) return false;
      return rig.simulation().RunUntil([&] { return rig.device()->deviceError != 0; },
                                       rig.simulation().Now() + host::kSecond);
    }
    default:
      return true;
  }
}

// The speed the link runs at once the phase has ended well.
ULONG SpeedAfter(Phase phase) {
  switch (phase) {
    case Phase::kSpeedChange: return 115200;
    case Phase::kReset:
    case Phase::kPowerUp: return 57600;
    default: return 9600;
  }
}

// Runs the phase's operation; answers the status it reported (success for the steps that
// report nothing).
NDIS_STATUS RunPhase(Phase phase, UsbRig& rig) {
  switch (phase) {
    case Phase::kInitialize: return rig.Initialize();
    case Phase::kSpeedChange: return rig.SetSpeed(115200);
    case Phase::kReset: return rig.Reset();
    case Phase::kPowerUp: return rig.SetPower(kD0);
    case Phase::kRecovery: {
      // The write's success queues the restart of the receive loop, which restarts the
      // bridge and the transceiver first.
      std::size_t before = rig.sendCompletions();
      rig.Send({0x21, 0x13, 0x01});
      rig.simulation().RunUntil([&] { return rig.sendCompletions() > before; },
                                rig.simulation().Now() + 5 * host::kSecond);
      rig.simulation().RunFor(3 * host::kSecond);
      return NDIS_STATUS_SUCCESS;
    }
    case Phase::kHalt: return NDIS_STATUS_SUCCESS;
  }
  return NDIS_STATUS_FAILURE;
}

// Repeats what failed, with the device answering again: a reported failure must leave
// the adapter in a state from which the same request, or a reset, brings the link back.
NDIS_STATUS Retry(Phase phase, UsbRig& rig) {
  if (phase == Phase::kSpeedChange) return rig.SetSpeed(115200);
  return rig.Reset();
}

// The control requests each phase makes.
std::vector<ControlRequest> RequestsOf(Phase phase) {
  switch (phase) {
    case Phase::kInitialize:
      return {ControlRequest::kDeviceDescriptor, ControlRequest::kConfigurationDescriptor,
              ControlRequest::kSelectConfiguration, ControlRequest::kSetLineCoding,
              ControlRequest::kSetControlLineState};
    case Phase::kRecovery:  // the bridge stopped and started again, then the link speed
      return {ControlRequest::kDeconfigure, ControlRequest::kConfigurationDescriptor,
              ControlRequest::kSelectConfiguration, ControlRequest::kSetLineCoding,
              ControlRequest::kSetControlLineState};
    case Phase::kHalt:
      return {ControlRequest::kSetControlLineState, ControlRequest::kDeconfigure};
    default:
      return {ControlRequest::kSetLineCoding, ControlRequest::kSetControlLineState};
  }
}

struct ControlFault {
  const char* name;
  UrbResult result;
  int count;  // how many of the phase's requests of that kind fail
};
const ControlFault kControlFaults[] = {
    {"first stalled", host::usb::kUrbStall, 1},
    {"all stalled", host::usb::kUrbStall, 1000},
    {"all failed", kDeviceError, 1000},
};

// Each control request, stalled once, stalled every time or failed every time, answered
// later or inside IofCallDriver, in each phase that makes it. The phase reports success
// only with a working link; a reported failure is undone by repeating the request or by a
// reset once the device answers again; initialization that fails leaves nothing behind.
TEST(UsbFaults, EveryControlRequestStalledOrFailedInEveryPhase) {
  const Phase phases[] = {Phase::kInitialize, Phase::kSpeedChange, Phase::kReset,
                          Phase::kPowerUp,    Phase::kRecovery,    Phase::kHalt};
  for (Phase phase : phases) {
    for (ControlRequest request : RequestsOf(phase)) {
      for (const ControlFault& fault : kControlFaults) {
        for (Delivery delivery : {Delivery::kLater, Delivery::kAtOnce}) {
          std::string name = std::string(RequestName(request)) + " " + fault.name + " (" +
                             (delivery == Delivery::kLater ? "later" : "in the call") +
                             ") during " + PhaseName(phase);
          RunCase(name, DriverManagesPower, [&](host::Simulation&) {
            UsbRig rig(host::Simulation::Current());
            ASSERT_TRUE(PrepareFor(phase, rig));
            for (RequestKind kind : {RequestKind::kGetDescriptor,
                                     RequestKind::kSelectConfiguration,
                                     RequestKind::kClassRequest}) {
              rig.lower().SetDelivery(kind, delivery);
            }
            rig.lower().FailNext(request, fault.result, fault.count);
            if (phase == Phase::kHalt) {
              EXPECT_LE(rig.Halt(), kAnsweredHaltBound);
              return;
            }
            NDIS_STATUS status = RunPhase(phase, rig);
            rig.lower().ClearFailures();
            if (phase == Phase::kInitialize && status != NDIS_STATUS_SUCCESS) {
              EXPECT_EQ(rig.lower().pendingCount(), 0u);
              return;
            }
            if (status == NDIS_STATUS_SUCCESS) {
              std::string link = rig.CheckLink(SpeedAfter(phase));
              // Power up and the recovery report nothing: a reset must bring the link back.
              if (!link.empty() && (phase == Phase::kPowerUp || phase == Phase::kRecovery)) {
                ++tally.recoveredByReset;
                EXPECT_EQ(rig.Reset(), NDIS_STATUS_SUCCESS) << link;
                link = rig.CheckLink(SpeedAfter(phase));
              }
              EXPECT_EQ(link, "") << "reported success";
            } else {
              EXPECT_EQ(Retry(phase, rig), NDIS_STATUS_SUCCESS) << "after " << rig.Hex(status);
              EXPECT_EQ(rig.CheckLink(SpeedAfter(phase)), "") << "after " << rig.Hex(status);
            }
            EXPECT_LE(rig.Halt(), kAnsweredHaltBound);
          });
        }
      }
    }
  }
}

// A device that stops answering one kind of request from the start of a phase on: the
// synchronous requests time out after 3 s and are cancelled, the phase's operation ends,
// the halt ends within its bound, and no request is left with the bus.
TEST(UsbFaults, ADeviceThatStopsAnsweringOneKindOfRequest) {
  const Phase phases[] = {Phase::kInitialize, Phase::kSpeedChange, Phase::kReset,
                          Phase::kPowerUp,    Phase::kRecovery,    Phase::kHalt};
  const RequestKind kinds[] = {RequestKind::kGetDescriptor, RequestKind::kSelectConfiguration,
                               RequestKind::kClassRequest,  RequestKind::kBulkOut,
                               RequestKind::kBulkIn,        RequestKind::kInterruptIn};
  for (Phase phase : phases) {
    for (RequestKind kind : kinds) {
      std::string name = std::string(KindName(kind)) + " never answered from " + PhaseName(phase);
      RunCase(name, DriverManagesPower, [&](host::Simulation& simulation) {
        UsbRig rig(simulation);
        ASSERT_TRUE(PrepareFor(phase, rig));
        const std::size_t before = rig.lower().requests().size();
        rig.lower().SetDelivery(kind, Delivery::kNever);
        NDIS_STATUS status = RunPhase(phase, rig);
        if (phase != Phase::kInitialize || status == NDIS_STATUS_SUCCESS) {
          EXPECT_LE(rig.Halt(), kHaltBound);
        }
        EXPECT_EQ(rig.lower().pendingCount(), 0u);
        // A control request that got no answer was cancelled after its 3 s.
        if (kind == RequestKind::kBulkOut || kind == RequestKind::kBulkIn ||
            kind == RequestKind::kInterruptIn) {
          return;
        }
        const auto& requests = rig.lower().requests();
        for (std::size_t i = before; i < requests.size(); ++i) {
          if (requests[i].kind != kind) continue;
          EXPECT_TRUE(requests[i].cancelled) << "request " << i;
          host::VirtualTime waited = requests[i].completed - requests[i].submitted;
          EXPECT_GE(waited, 3 * host::kSecond) << "request " << i;
          EXPECT_LT(waited, 3 * host::kSecond + host::kMillisecond) << "request " << i;
        }
      });
    }
  }
}

// --- Removal in the middle of an operation -------------------------------------------

struct Removal {
  const char* name;
  // Starts the operation, has the device removed `after` into it, and checks its end.
  std::function<void(UsbRig&)> run;
};

void RemoveAfter(UsbRig& rig, host::VirtualTime after) {
  host::usb::LowerDevice& lower = rig.lower();
  rig.simulation().ScheduleAfter(after, [&lower] { lower.Remove(); });
}

TEST(UsbFaults, RemovalDuringEachOperationCompletesEverythingOnce) {
  const std::vector<Removal> removals = {
      {"sending",
       [](UsbRig& rig) {
         // One frame in flight, two queued behind it.
         std::vector<UCHAR> payload(40, 0x5A);
         for (int i = 0; i < 3; ++i) EXPECT_EQ(rig.Send(payload), NDIS_STATUS_PENDING);
         RemoveAfter(rig, 20 * host::kMillisecond);
         EXPECT_TRUE(rig.simulation().RunUntil([&] { return rig.sendCompletions() == 3; },
                                               rig.simulation().Now() + 5 * host::kSecond));
         for (const auto& completion : rig.adapter().block.sendCompletions()) {
           EXPECT_NE(completion.status, NDIS_STATUS_SUCCESS);
         }
         // A send after the removal is refused or completed, never kept.
         NDIS_STATUS late = rig.Send(payload);
         if (late == NDIS_STATUS_PENDING) {
           EXPECT_TRUE(rig.simulation().RunUntil([&] { return rig.sendCompletions() == 4; },
                                                 rig.simulation().Now() + 5 * host::kSecond));
         }
       }},
      {"receiving",
       [](UsbRig& rig) {
         // A long frame from the station, cut off by the removal.
         std::vector<UCHAR> payload(1500, 0x33);
         rig.peer().Send(ReferenceFrame(payload, 2), 9600);
         RemoveAfter(rig, 300 * host::kMillisecond);
         rig.simulation().RunFor(2 * host::kSecond);
         EXPECT_EQ(rig.device()->nowReceiving, 0);
         EXPECT_TRUE(rig.adapter().block.indications().empty());
       }},
      {"a speed change",
       [](UsbRig& rig) {
         RemoveAfter(rig, 60 * host::kMillisecond);
         EXPECT_NE(rig.SetSpeed(115200), NDIS_STATUS_SUCCESS);
         EXPECT_EQ(rig.device()->currentSpeed, 9600u);
       }},
      {"a reset",
       [](UsbRig& rig) {
         ASSERT_EQ(rig.SetSpeed(57600), NDIS_STATUS_SUCCESS);
         RemoveAfter(rig, 30 * host::kMillisecond);
         EXPECT_EQ(rig.Reset(), NDIS_STATUS_HARD_ERRORS);
       }},
      {"a raw exchange",
       [](UsbRig& rig) {
         host::io::IoResult result;
         bool done = false;
         kerneltest::SystemThreads application;
         application.Start([&] {
           result = rig.Exchange({0x01, 0x02}, 2);
           done = true;
         });
         RemoveAfter(rig, 60 * host::kMillisecond);
         ASSERT_TRUE(rig.simulation().RunUntil([&] { return done; },
                                               rig.simulation().Now() + 10 * host::kSecond));
         EXPECT_EQ(result.status, STATUS_SUCCESS);
         EXPECT_EQ(result.information, 0u);
       }},
  };
  for (const Removal& removal : removals) {
    RunCase(std::string("removal during ") + removal.name, nullptr,
            [&](host::Simulation& simulation) {
              UsbRig rig(simulation);
              ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
              removal.run(rig);
              EXPECT_LE(rig.Halt(), kAnsweredHaltBound);
              EXPECT_EQ(rig.lower().pendingCount(), 0u);
            });
  }
}

// --- Completion inside IofCallDriver -------------------------------------------------

// A whole lifecycle with the real bridge: bring-up, a frame each way, a speed change, a
// reset, power down and up, a raw exchange, halt.
void WholeLifecycle(UsbRig& rig) {
  ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.CheckLink(9600), "");
  // At 9600 the transceiver echoes what is not a command.
  host::io::IoResult exchange = rig.Exchange({0x01, 0x02}, 2);
  EXPECT_EQ(exchange.status, STATUS_SUCCESS);
  EXPECT_EQ(exchange.output, (std::vector<UCHAR>{0x01, 0x02}));
  EXPECT_EQ(rig.SetSpeed(115200), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.CheckLink(115200), "");
  EXPECT_EQ(rig.Reset(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.CheckLink(115200), "");
  EXPECT_EQ(rig.SetPower(kD3), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.SetPower(kD0), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.CheckLink(115200), "");
  // Away from 9600 the exchange's bytes are no commands, and it brings the link to 9600.
  EXPECT_EQ(rig.Exchange({0x01, 0x02}, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(rig.CheckLink(9600), "");
  EXPECT_LE(rig.Halt(), kAnsweredHaltBound);
}

std::size_t CompletedInCall(const host::usb::LowerDevice& lower, RequestKind kind) {
  std::size_t count = 0;
  for (const host::usb::BusRequest& request : lower.requests()) {
    count += request.kind == kind && request.completedInCall;
  }
  return count;
}

TEST(UsbFaults, ControlAndStatusRequestsCompletedInsideTheCallThroughAWholeLifecycle) {
  const std::vector<std::vector<RequestKind>> groups = {
      {RequestKind::kGetDescriptor},
      {RequestKind::kSelectConfiguration},
      {RequestKind::kClassRequest},
      {RequestKind::kInterruptIn},
      {RequestKind::kGetDescriptor, RequestKind::kSelectConfiguration, RequestKind::kClassRequest,
       RequestKind::kBulkOut, RequestKind::kBulkIn, RequestKind::kInterruptIn},
  };
  for (const auto& kinds : groups) {
    std::string name = "at once:";
    for (RequestKind kind : kinds) name += std::string(" ") + KindName(kind);
    RunCase(name, DriverManagesPower, [&](host::Simulation& simulation) {
      UsbRig rig(simulation);
      for (RequestKind kind : kinds) rig.lower().SetDelivery(kind, Delivery::kAtOnce);
      WholeLifecycle(rig);
      if (kinds.size() == 1 && kinds[0] != RequestKind::kInterruptIn) {
        EXPECT_GT(CompletedInCall(rig.lower(), kinds[0]), 0u);
      }
    });
  }
}

// Bulk transfers that the bus completes before IofCallDriver returns: writes answered at
// once (sends and the transceiver's command bytes), reads answered at once with frames,
// nested several deep, through the same lifecycle.
TEST(UsbFaults, BulkTransfersCompletedInsideTheCallThroughAWholeLifecycle) {
  RunCase("bulk transfers at once", DriverManagesPower, [](host::Simulation& simulation) {
    host::ndis::MiniportHost ndis(DriverEntry);
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    adapter.block.ReturnDuringIndication();
    ScriptedBus bus(simulation, adapter);
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    host::usb::LowerDevice& lower = bus.lower();
    auto* device = adapter.context<IrDevice>();

    std::vector<std::unique_ptr<host::ndis::SendPacket>> packets;
    auto sendAll = [&](int count) {
      bus.AnswerWritesAtOnce(count);
      std::size_t before = adapter.block.sendCompletions().size();
      for (int i = 0; i < count; ++i) {
        packets.push_back(std::make_unique<host::ndis::SendPacket>(Bytes{0x21, 0x13, UCHAR(i)}));
        ndis.Send(adapter, packets.back()->get());
      }
      EXPECT_EQ(adapter.block.sendCompletions().size(), before + count);
      for (std::size_t i = before; i < adapter.block.sendCompletions().size(); ++i) {
        EXPECT_EQ(adapter.block.sendCompletions()[i].status, NDIS_STATUS_SUCCESS);
      }
    };
    auto receiveFrames = [&](int count) {
      // The held read delivers the first frame; the next reads, answered inside their
      // posting, deliver the rest.
      std::size_t before = adapter.block.indications().size();
      std::vector<TransferOutcome> more;
      for (int i = 1; i < count; ++i) more.push_back({STATUS_SUCCESS, ReferenceFrame({0x21, 0x13, UCHAR(i)}, 1)});
      bus.AnswerReadsAtOnce(more);
      bus.CompleteRead({STATUS_SUCCESS, ReferenceFrame({0x21, 0x13, 0x00}, 1)});
      simulation.RunFor(100 * host::kMillisecond);
      EXPECT_EQ(adapter.block.indications().size(), before + count);
      EXPECT_EQ(bus.heldReads(), 1u);
    };

    sendAll(3);
    receiveFrames(4);
    EXPECT_EQ(ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 115200).status, NDIS_STATUS_SUCCESS);
    sendAll(2);
    receiveFrames(3);
    EXPECT_EQ(ndis.Reset(adapter).status, NDIS_STATUS_SUCCESS);
    receiveFrames(2);
    EXPECT_EQ(ndis.SetUlong(adapter, OID_PNP_SET_POWER, kD3).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ndis.SetUlong(adapter, OID_PNP_SET_POWER, kD0).status, NDIS_STATUS_SUCCESS);
    sendAll(2);
    receiveFrames(2);
    host::io::IoResult exchange =
        host::io::DeviceControl(adapter.deviceObject, IOCTL_TRANSCEIVER_EXCHANGE, {0x01}, 1);
    EXPECT_EQ(exchange.status, STATUS_SUCCESS);
    EXPECT_EQ(device->currentSpeed, 9600u);
    sendAll(1);
    EXPECT_GT(CompletedInCall(lower, RequestKind::kBulkOut), 0u);
    EXPECT_GT(CompletedInCall(lower, RequestKind::kBulkIn), 0u);
    host::VirtualTime start = simulation.Now();
    ndis.Halt(adapter);
    EXPECT_LE(simulation.Now() - start, kAnsweredHaltBound);
    EXPECT_EQ(lower.pendingCount(), 0u);
  });
}

}  // namespace
}  // namespace sirtest
