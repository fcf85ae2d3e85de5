// Allocation failures swept through each scenario: a fault-free run counts the
// allocations of the step under test (the steps before it are set-up that must succeed),
// then one fresh run per allocation fails exactly that one. Every run must end with the
// outcome that failure calls for, every pended send and request completed once, nothing
// leaked, no verifier finding and no deadlock; where recovery is sound the adapter must
// still send and receive afterwards. Each scenario prints how many points it swept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "miniport/driver_entry.h"
#include "miniport/ir_device.h"
#include "tests/reliability/scenarios.h"
#include "tests/support/fresh_run.h"

namespace sirtest {
namespace {

using scenario::Bytes;
using scenario::RequestOutcome;
using scenario::Rig;

// Long enough for any step, short enough that a run which only keeps polling ends soon.
constexpr host::VirtualTime kRunTimeLimit = 2 * host::kHour;

// What one run of a step leaves for the checks of the runs after it.
struct StepRecord {
  // The requests' answers of the fault-free run; null in that run itself.
  const std::vector<RequestOutcome>* baseline = nullptr;
  std::vector<RequestOutcome> requests;
};

// Runs the step under test and checks its outcome; answers whether the adapter is up
// and should still work afterwards.
using Step = std::function<bool(Rig&, StepRecord&)>;

struct Scenario {
  const char* name;
  bool initialized;    // false: the step is the initialization itself
  bool managesPower;   // run where the driver manages power itself (WDM below 1.05)
  Step step;
  // From the step on, the bus completes bulk transfers inside the call that submits them
  // where it can, so that completions nest in their re-posts and in MiniportSend.
  bool bulkAtOnce = false;
};

// An error status (severity bits 11): not success, pending or a warning.
bool IsFailure(NDIS_STATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

const Bytes kPayloadA = {0xFF, 0x93, 0x01, 0x7D, 0xC0, 0xC1, 0x55};
const Bytes kPayloadB = {0x42, 0x11, 0x22, 0x33};
const Bytes kPayloadC = {0xFE, 0x63, 0xC1, 0xC1, 0x7D};

// A send and a receive at the adapter's current speed both get through.
void ExpectAdapterWorks(Rig& rig) {
  const std::size_t heardBefore = rig.peer.received().size();
  std::vector<scenario::SendOutcome> sent = scenario::SendAndWait(rig, {kPayloadB});
  EXPECT_EQ(sent[0].Final(), NDIS_STATUS_SUCCESS) << "a later send";
  rig.simulation().RunFor(50 * host::kMillisecond);
  EXPECT_TRUE(scenario::PeerHeard(rig, kPayloadB, heardBefore)) << "a later send";
  EXPECT_EQ(scenario::ReceiveFrames(rig, {kPayloadC}), std::vector<Bytes>{kPayloadC})
      << "a later receive";
}

// Each answer is the fault-free one, or, only where the request waits for work that
// allocates, a failure status.
void ExpectAnswersAsWithoutFault(const StepRecord& record, std::vector<NDIS_OID> mayFail) {
  if (record.baseline == nullptr) return;
  ASSERT_EQ(record.requests.size(), record.baseline->size());
  for (std::size_t i = 0; i < record.requests.size(); ++i) {
    const RequestOutcome& got = record.requests[i];
    const RequestOutcome& want = (*record.baseline)[i];
    SCOPED_TRACE(testing::Message() << "OID 0x" << std::hex << got.oid);
    if (got.result.status == want.result.status) {
      EXPECT_EQ(got.result.bytesDone, want.result.bytesDone);
      EXPECT_EQ(got.result.buffer, want.result.buffer);
      continue;
    }
    EXPECT_TRUE(IsFailure(got.result.status)) << std::hex << got.result.status;
    EXPECT_NE(std::find(mayFail.begin(), mayFail.end(), got.oid), mayFail.end())
        << "answered " << std::hex << got.result.status << " instead of " << want.result.status;
  }
}

bool InitializationStep(Rig& rig, StepRecord&) {
  NDIS_STATUS status = rig.ndis.Initialize(rig.adapter);
  if (status == NDIS_STATUS_SUCCESS) {
    EXPECT_EQ(currentAdapter, rig.device());
    return true;
  }
  EXPECT_TRUE(IsFailure(status)) << std::hex << status;
  EXPECT_EQ(currentAdapter, nullptr);
  EXPECT_TRUE(IsListEmpty(&adapterList));
  return false;
}

bool SendStep(Rig& rig, StepRecord&) {
  const std::vector<Bytes> payloads = {kPayloadA, kPayloadB, kPayloadC};
  const std::size_t heardBefore = rig.peer.received().size();
  std::vector<scenario::SendOutcome> sent = scenario::SendAndWait(rig, payloads);
  rig.simulation().RunFor(50 * host::kMillisecond);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "send " << i);
    EXPECT_EQ(sent[i].completions, sent[i].answered == NDIS_STATUS_PENDING ? 1u : 0u);
    NDIS_STATUS status = sent[i].Final();
    if (status == NDIS_STATUS_SUCCESS) {
      EXPECT_TRUE(scenario::PeerHeard(rig, payloads[i], heardBefore));
    } else {
      EXPECT_TRUE(IsFailure(status)) << std::hex << status;
    }
  }
  return true;
}

bool ReceiveStep(Rig& rig, StepRecord&) {
  const std::vector<Bytes> payloads = {kPayloadA, kPayloadB, kPayloadC};
  std::vector<Bytes> indicated = scenario::ReceiveFrames(rig, payloads);
  // A frame may be dropped; none may be changed, repeated or reordered.
  std::size_t next = 0;
  for (const Bytes& frame : indicated) {
    while (next < payloads.size() && payloads[next] != frame) ++next;
    EXPECT_LT(next, payloads.size()) << "an indicated frame that was not sent, or out of order";
    ++next;
  }
  return true;
}

bool QueryStep(Rig& rig, StepRecord& record) {
  record.requests = scenario::QueryEach(rig);
  ExpectAnswersAsWithoutFault(record, {OID_IRDA_MEDIA_BUSY});
  return true;
}

bool SetStep(Rig& rig, StepRecord& record) {
  record.requests = scenario::SetEach(rig);
  ExpectAnswersAsWithoutFault(record, {});
  return true;
}

bool LinkSpeedStep(Rig& rig, StepRecord&) {
  host::ndis::RequestResult result = scenario::ChangeLinkSpeed(rig, 115200);
  if (result.status != NDIS_STATUS_SUCCESS) {
    EXPECT_TRUE(IsFailure(result.status)) << std::hex << result.status;
    // The protocol asks again; without a fault the change goes through.
    EXPECT_EQ(scenario::ChangeLinkSpeed(rig, 115200).status, NDIS_STATUS_SUCCESS) << "again";
  }
  EXPECT_EQ(rig.device()->currentSpeed, 115200u);
  EXPECT_EQ(rig.adapter.dongle->transceiver.infraredSpeed(), 115200u);
  EXPECT_EQ(rig.adapter.dongle->bridge.lineCoding().rate, 115200u);
  return true;
}

bool ResetStep(Rig& rig, StepRecord&) {
  host::ndis::RequestResult result = scenario::Reset(rig);
  EXPECT_TRUE(result.addressingReset);
  if (!result.pended) {
    // Not queued: the adapter goes on as it was, and the answer says it was not reset.
    EXPECT_EQ(result.status, NDIS_STATUS_RESOURCES);
  } else if (result.status != NDIS_STATUS_SUCCESS) {
    EXPECT_EQ(result.status, NDIS_STATUS_HARD_ERRORS);
    // NDIS resets a failed adapter again; without a fault the reset goes through.
    EXPECT_EQ(scenario::Reset(rig).status, NDIS_STATUS_SUCCESS) << "again";
  }
  return true;
}

bool PowerStep(Rig& rig, StepRecord&) {
  scenario::PowerOutcome power = scenario::PowerDownAndUp(rig);
  EXPECT_EQ(power.down.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(power.up.status, NDIS_STATUS_SUCCESS);
  return true;
}

bool RawExchangeStep(Rig& rig, StepRecord&) {
  const Bytes input = {0x01, 0x02, 0x03};
  host::io::IoResult result = scenario::RawExchange(rig, input, 3);
  if (result.status == STATUS_SUCCESS) {
    // The transceiver echoes in command mode; a fault may cut the reply short.
    EXPECT_LE(result.information, input.size());
    EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + result.information),
              Bytes(input.begin(), input.begin() + result.information));
  } else {
    EXPECT_TRUE(IsFailure(result.status)) << std::hex << result.status;
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(rig.device()->captureMode, 0);
  return true;
}

bool HaltStep(Rig& rig, StepRecord&) {
  // Halted with one send in flight and two queued: all three must come back.
  for (const Bytes& payload : {kPayloadA, kPayloadB, kPayloadC}) {
    rig.ndis.Send(rig.adapter, rig.MakePacket(payload));
  }
  rig.ndis.Halt(rig.adapter);
  return false;
}

const Scenario kScenarios[] = {
    {"initialization", false, false, InitializationStep},
    {"send", true, false, SendStep},
    {"receive", true, false, ReceiveStep},
    {"queries", true, false, QueryStep},
    {"sets", true, false, SetStep},
    {"link_speed", true, false, LinkSpeedStep},
    {"reset", true, false, ResetStep},
    {"power", true, true, PowerStep},
    {"raw_exchange", true, false, RawExchangeStep},
    {"halt", true, false, HaltStep},
    {"send_completed_at_once", true, false, SendStep, true},
    {"receive_completed_at_once", true, false, ReceiveStep, true},
};

struct Mark {
  std::uint64_t before = 0;  // allocations made before the step
  std::uint64_t after = 0;   // ... and once it was over
};

// One fresh run of the scenario; failNth 0 fails nothing.
FreshRun RunScenario(const Scenario& scenario, std::uint64_t seed, std::uint64_t failNth,
                     StepRecord& record, Mark& mark) {
  return RunFresh(
      seed,
      [&](host::Simulation& simulation) {
        simulation.SetTimeLimit(kRunTimeLimit);
        if (scenario.managesPower) simulation.SetWdmVersion(1, 0);
        if (failNth != 0) simulation.faults().FailNth(failNth);
      },
      [&](host::Simulation& simulation) {
        SCOPED_TRACE(testing::Message() << scenario.name << ", allocation " << failNth
                                        << " failed, seed " << seed);
        host::ndis::MiniportHost ndis(DriverEntry);
        ASSERT_EQ(ndis.driverEntryStatus(), STATUS_SUCCESS);
        Rig rig(ndis);
        if (scenario.initialized) {
          ASSERT_EQ(ndis.Initialize(rig.adapter), NDIS_STATUS_SUCCESS) << "set-up";
          ASSERT_EQ(rig.device()->managesPower, scenario.managesPower ? 1 : 0);
        }
        if (scenario.bulkAtOnce) {
          for (auto kind : {host::usb::RequestKind::kBulkOut, host::usb::RequestKind::kBulkIn}) {
            rig.adapter.dongle->lower.SetDelivery(kind, host::usb::Delivery::kAtOnce);
          }
        }
        mark.before = simulation.faults().allocations();
        bool up = scenario.step(rig, record);
        mark.after = simulation.faults().allocations();
        if (!up) return;
        ExpectAdapterWorks(rig);
        ndis.Halt(rig.adapter);
      });
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// The points swept by every sweep of this test program's run, printed once at its end.
class SweptTotal : public ::testing::Environment {
 public:
  static void Add(std::uint64_t points) {
    total_ += points;
    ++sweeps_;
  }
  void TearDown() override {
    if (sweeps_ == 0) return;
    std::printf("[  SWEEP   ] in all: %" PRIu64 " allocation failure points in %" PRIu64
                " sweeps\n", total_, sweeps_);
  }

 private:
  static inline std::uint64_t total_ = 0;
  static inline std::uint64_t sweeps_ = 0;
};
[[maybe_unused]] const ::testing::Environment* const kSweptTotal =
    ::testing::AddGlobalTestEnvironment(new SweptTotal);

class AllocationSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(AllocationSweep, EveryAllocationOfTheStepFailedInTurn) {
  const Scenario& scenario = GetParam();
  std::vector<std::uint64_t> seeds = {0};
  if (LongRun()) seeds.insert(seeds.end(), {1, 7, 1234});
  for (std::uint64_t seed : seeds) {
    StepRecord baselineRecord;
    Mark counted;
    FreshRun counting = RunScenario(scenario, seed, 0, baselineRecord, counted);
    ASSERT_TRUE(counting.Clean()) << scenario.name << ", seed " << seed << ", no fault:\n"
                                  << counting.Describe();
    const std::uint64_t points = counted.after - counted.before;
    std::uint64_t failedPoints = 0;
    for (std::uint64_t n = counted.before + 1; n <= counted.after; ++n) {
      StepRecord record;
      record.baseline = &baselineRecord.requests;
      Mark mark;
      FreshRun run = RunScenario(scenario, seed, n, record, mark);
      bool sound = run.Clean() && mark.before == counted.before && run.injected == 1;
      if (!sound) {
        ++failedPoints;
        ADD_FAILURE() << scenario.name << ": allocation " << n << " failed (point "
                      << n - counted.before << " of " << points << "), seed " << seed
                      << "; allocations before the step " << mark.before << " (expected "
                      << counted.before << "), failures injected " << run.injected << "\n"
                      << run.Describe();
      }
    }
    std::printf("[  SWEEP   ] %s, seed %" PRIu64 ": %" PRIu64
                " allocation failure points swept, %" PRIu64 " unsound\n",
                scenario.name, seed, points, failedPoints);
    SweptTotal::Add(points);
    RecordProperty(std::string("points_seed_") + std::to_string(seed),
                   static_cast<int>(points));
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AllocationSweep, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace sirtest
