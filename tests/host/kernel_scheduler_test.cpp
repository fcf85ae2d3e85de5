// The scheduler and the virtual clock: interleavings by seed, deadlock and stall reports,
// timed waits and sleeps in virtual time, timers on the completion thread, RunUntil, and
// the seed taken from the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/kernel/simulation.h"
#include "platform/kernel.h"
#include "platform/ndis.h"
#include "tests/host/kernel_test_support.h"
#include "tests/support/sim_test.h"

namespace {

using host::kMillisecond;
using host::kSecond;
using kerneltest::Relative;
using kerneltest::SystemThreads;

// ---------------------------------------------------------------------------
// Interleavings
// ---------------------------------------------------------------------------

// Three threads take four steps each, every step behind a scheduling point; the trace
// says which thread took which step in what order.
std::vector<std::string> StepTrace(std::uint64_t seed) {
  std::vector<std::string> trace;
  SystemThreads threads;
  kerneltest::RunWithSeed(seed, [&](host::Simulation&) {
    KEVENT allDone;
    KeInitializeEvent(&allDone, NotificationEvent, FALSE);
    LONG running = 3;
    LONG steps = 0;
    for (char name : {'a', 'b', 'c'}) {
      threads.Start([&, name] {
        for (int step = 0; step < 4; ++step) {
          InterlockedIncrement(&steps);
          trace.push_back(std::string(1, name) + std::to_string(step));
        }
        if (InterlockedDecrement(&running) == 0) KeSetEvent(&allDone, 0, FALSE);
      });
    }
    KeWaitForSingleObject(&allDone, Executive, KernelMode, FALSE, nullptr);
  });
  return trace;
}

TEST(KernelInterleaving, SeedZeroRunsEachThreadUntilItBlocksInCreationOrder) {
  EXPECT_EQ(StepTrace(0), (std::vector<std::string>{"a0", "a1", "a2", "a3", "b0", "b1", "b2", "b3",
                                                    "c0", "c1", "c2", "c3"}));
}

TEST(KernelInterleaving, SameSeedReplaysStepForStepOtherSeedsInterleaveOtherwise) {
  const std::vector<std::string> plain = StepTrace(0);
  std::set<std::vector<std::string>> distinct;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    std::vector<std::string> trace = StepTrace(seed);
    EXPECT_EQ(trace, StepTrace(seed)) << "seed " << seed << " did not replay";
    // Interleaved, but every step of every thread ran once and in its thread's order.
    std::vector<std::string> sorted = trace;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, plain) << "seed " << seed;
    for (char name : {'a', 'b', 'c'}) {
      int next = 0;
      for (const std::string& step : trace) {
        if (step[0] == name) {
          EXPECT_EQ(step[1] - '0', next++) << "seed " << seed;
        }
      }
    }
    distinct.insert(trace);
  }
  distinct.erase(plain);
  EXPECT_GE(distinct.size(), 4u) << "seeds 1 to 8 should give several other interleavings";
}

// ---------------------------------------------------------------------------
// Deadlocks and stalls
// ---------------------------------------------------------------------------

// Kernel objects of a deadlock scene; they live outside the run, which is abandoned.
struct Scene {
  SystemThreads threads;
  KEVENT first;
  KEVENT second;
  KSPIN_LOCK lock;
};

std::string Address(const void* pointer) {
  std::ostringstream text;
  text << pointer;
  return text.str();
}

struct DeadlockCase {
  const char* name;
  std::string_view finding;                 // the rule the scene breaks on its way, if any
  void (*body)(host::Simulation&, Scene&);  // the test thread's body; it never finishes
  // Texts the report must hold, one a thread's line.
  std::vector<std::string> (*expected)(const Scene&);
};

const DeadlockCase kDeadlockCases[] = {
    {"TwoThreadsWaitForEachOthersEvent",
     {},
     [](host::Simulation&, Scene& scene) {
       KeInitializeEvent(&scene.first, SynchronizationEvent, FALSE);
       KeInitializeEvent(&scene.second, SynchronizationEvent, FALSE);
       // Each sets its own event only after the other's has come.
       scene.threads.Start([&scene] {
         KeWaitForSingleObject(&scene.second, Executive, KernelMode, FALSE, nullptr);
         KeSetEvent(&scene.first, 0, FALSE);
       });
       scene.threads.Start([&scene] {
         KeWaitForSingleObject(&scene.first, Executive, KernelMode, FALSE, nullptr);
         KeSetEvent(&scene.second, 0, FALSE);
       });
       NdisMSleep(1000);
       PVOID both[] = {&scene.first, &scene.second};
       KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
     },
     [](const Scene& scene) {
       return std::vector<std::string>{
           "at virtual time 10000 (100 ns units)",
           "test [IRQL 0]: waiting in KeWaitForMultipleObjects for all of " +
               Address(&scene.first) + " " + Address(&scene.second),
           "kerneltest::TestThread#1 [IRQL 0]: waiting in KeWaitForSingleObject for any of " +
               Address(&scene.second),
           "kerneltest::TestThread#2 [IRQL 0]: waiting in KeWaitForSingleObject for any of " +
               Address(&scene.first),
           "completion [IRQL 2]: idle, no completion work"};
     }},
    {"SpinLockOfAThreadThatEndedHoldingIt", host::rule::kLockHeldOnReturn,
     [](host::Simulation&, Scene& scene) {
       KeInitializeSpinLock(&scene.lock);
       KeInitializeEvent(&scene.first, NotificationEvent, FALSE);
       scene.threads.Start([&scene] {
         KfAcquireSpinLock(&scene.lock);
         scene.threads.Start([&scene] {
           KIRQL old = KfAcquireSpinLock(&scene.lock);
           KfReleaseSpinLock(&scene.lock, old);
         });
       });
       KeWaitForSingleObject(&scene.first, Executive, KernelMode, FALSE, nullptr);
     },
     [](const Scene& scene) {
       return std::vector<std::string>{"kerneltest::TestThread#2 [IRQL 0]: spinning on lock " +
                                       Address(&scene.lock) + " held by kerneltest::TestThread#1"};
     }},
    {"RunUntilWithNothingPending",
     {},
     [](host::Simulation& simulation, Scene&) { simulation.RunUntil([] { return false; }); },
     [](const Scene&) {
       return std::vector<std::string>{"test [IRQL 0]: waiting for the simulation (RunUntil)"};
     }},
    {"TestWaitsForEverWhileAThreadPolls",
     {},
     [](host::Simulation& simulation, Scene& scene) {
       simulation.SetTimeLimit(60 * kSecond);
       KeInitializeEvent(&scene.first, NotificationEvent, FALSE);
       KeInitializeEvent(&scene.second, NotificationEvent, FALSE);
       scene.threads.Start([&scene] {
         for (;;) {
           LARGE_INTEGER timeout = Relative(3 * kSecond);
           KeWaitForSingleObject(&scene.second, Executive, KernelMode, FALSE, &timeout);
         }
       });
       KeWaitForSingleObject(&scene.first, Executive, KernelMode, FALSE, nullptr);
     },
     [](const Scene& scene) {
       return std::vector<std::string>{
           "no progress within the virtual time limit of 60 s",
           "at virtual time 600000000 (100 ns units)",
           "kerneltest::TestThread#1 [IRQL 0]: waiting in KeWaitForSingleObject for any of " +
               Address(&scene.second) + " until 630000000"};
     }},
};

class KernelDeadlock : public sirtest::SimTest,
                       public ::testing::WithParamInterface<DeadlockCase> {};

TEST_P(KernelDeadlock, StopsTheRunWithAReportOfEveryThread) {
  Scene scene;
  const DeadlockCase& deadlock = GetParam();
  if (!deadlock.finding.empty()) ExpectFinding(deadlock.finding);
  host::RunResult result = sim().Run([&] { deadlock.body(sim(), scene); });
  ASSERT_EQ(result.outcome, host::RunOutcome::kDeadlock);
  EXPECT_EQ(sim().verifier().violations().size(), deadlock.finding.empty() ? 0u : 1u);
  for (const std::string& text : deadlock.expected(scene)) {
    EXPECT_NE(result.deadlockReport.find(text), std::string::npos)
        << "missing: " << text << "\nin:\n"
        << result.deadlockReport;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelDeadlock, ::testing::ValuesIn(kDeadlockCases),
                         kerneltest::CaseName<DeadlockCase>);

// ---------------------------------------------------------------------------
// Virtual time: timed waits and sleeps
// ---------------------------------------------------------------------------

struct ClockCase {
  const char* name;
  NTSTATUS (*body)(host::Simulation&);
  NTSTATUS status;
  host::VirtualTime elapsed;
};

KEVENT* FreshEvent() {
  static KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  return &event;
}

NTSTATUS WaitUnsignalled(LARGE_INTEGER timeout) {
  return KeWaitForSingleObject(FreshEvent(), Executive, KernelMode, FALSE, &timeout);
}

const ClockCase kClockCases[] = {
    {"RelativeThreeSecondWaitTimesOut",
     [](host::Simulation&) { return WaitUnsignalled(Relative(3 * kSecond)); }, STATUS_TIMEOUT,
     3 * kSecond},
    {"AbsoluteWaitTimesOutAtThatTime",
     [](host::Simulation&) { return WaitUnsignalled(kerneltest::AbsoluteIn(3 * kSecond)); },
     STATUS_TIMEOUT, 3 * kSecond},
    {"AbsoluteTimeInThePastTimesOutAtOnce",
     [](host::Simulation&) { return WaitUnsignalled(kerneltest::AbsoluteIn(-kSecond)); },
     STATUS_TIMEOUT, 0},
    {"ZeroTimeOutPollsAtOnce", [](host::Simulation&) { return WaitUnsignalled(Relative(0)); },
     STATUS_TIMEOUT, 0},
    {"EventSetBeforeTheTimeOutEndsTheWait",
     [](host::Simulation& simulation) {
       KEVENT* event = FreshEvent();
       simulation.ScheduleAfter(kSecond, [event] { KeSetEvent(event, 0, FALSE); });
       LARGE_INTEGER timeout = Relative(3 * kSecond);
       return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
     },
     STATUS_WAIT_0, kSecond},
    {"LongestRelativeTimeOutWaitsForTheEvent",
     [](host::Simulation& simulation) {
       KEVENT* event = FreshEvent();
       simulation.ScheduleAfter(10 * kSecond, [event] { KeSetEvent(event, 0, FALSE); });
       LARGE_INTEGER timeout;
       timeout.QuadPart = INT64_MIN;
       return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
     },
     STATUS_WAIT_0, 10 * kSecond},
    {"NdisMSleepTakesMicroseconds",
     [](host::Simulation&) {
       NdisMSleep(20'000);
       return STATUS_SUCCESS;
     },
     STATUS_SUCCESS, 20 * kMillisecond},
    {"RelativeDelay",
     [](host::Simulation&) {
       LARGE_INTEGER interval = Relative(500 * host::kMicrosecond);
       return KeDelayExecutionThread(KernelMode, FALSE, &interval);
     },
     STATUS_SUCCESS, 500 * host::kMicrosecond},
    {"AbsoluteDelay",
     [](host::Simulation&) {
       LARGE_INTEGER interval = kerneltest::AbsoluteIn(2 * kSecond);
       return KeDelayExecutionThread(KernelMode, FALSE, &interval);
     },
     STATUS_SUCCESS, 2 * kSecond},
};

class KernelClock : public sirtest::SimTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(KernelClock, WaitsAndSleepsTakeExactlyTheirVirtualTime) {
  Run([&] {
    NdisMSleep(7);  // start away from zero
    host::VirtualTime start = sim().Now();
    LARGE_INTEGER systemStart;
    KeQuerySystemTime(&systemStart);
    EXPECT_EQ(GetParam().body(sim()), GetParam().status);
    EXPECT_EQ(sim().Now() - start, GetParam().elapsed);
    LARGE_INTEGER systemEnd;
    KeQuerySystemTime(&systemEnd);
    EXPECT_EQ(systemEnd.QuadPart - systemStart.QuadPart, GetParam().elapsed);
  });
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelClock, ::testing::ValuesIn(kClockCases),
                         kerneltest::CaseName<ClockCase>);

// ---------------------------------------------------------------------------
// Timers on the completion thread, RunUntil and RunFor
// ---------------------------------------------------------------------------

class KernelTimers : public sirtest::SimTest {};

TEST_F(KernelTimers, RunInTimeOrderOnTheCompletionThreadAtDispatchLevel) {
  Run([&] {
    std::vector<std::string> ran;
    auto record = [&](std::string name) {
      return [&ran, name, this] {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(host::CurrentThreadName(), "completion");
        ran.push_back(name + "@" + std::to_string(sim().Now()));
      };
    };
    sim().ScheduleAfter(2 * kMillisecond, record("late"));
    sim().ScheduleAfter(kMillisecond, record("first"));
    sim().ScheduleAfter(kMillisecond, record("second"));  // same time: in scheduling order
    sim().ScheduleAt(0, record("past"));                  // due already: at once
    sim().RunFor(5 * kMillisecond);
    EXPECT_EQ(ran,
              (std::vector<std::string>{"past@0", "first@10000", "second@10000", "late@20000"}));
  });
}

TEST_F(KernelTimers, CancelWithdrawsAnItemUntilItStarts) {
  Run([&] {
    int ran = 0;
    auto count = [&ran] { ++ran; };
    host::Simulation::TimerId later = sim().ScheduleAfter(kSecond, count);
    host::Simulation::TimerId dueNow = sim().ScheduleAfter(0, count);
    host::Simulation::TimerId done = sim().ScheduleAfter(kMillisecond, count);
    EXPECT_TRUE(sim().Cancel(later));
    EXPECT_FALSE(sim().Cancel(later));  // already cancelled
    EXPECT_TRUE(sim().Cancel(dueNow));  // due, but the completion thread has not run it
    sim().RunFor(2 * kSecond);
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(sim().Cancel(done));  // it ran
    EXPECT_FALSE(sim().Cancel(0));
  });
}

TEST_F(KernelTimers, RunUntilStopsWhenThePredicateHoldsOrAtTheDeadline) {
  Run([&] {
    bool flag = false;
    sim().ScheduleAfter(250 * kMillisecond, [&flag] { flag = true; });
    EXPECT_TRUE(sim().RunUntil([&] { return flag; }, kSecond));
    EXPECT_EQ(sim().Now(), 250 * kMillisecond);  // checked right after the item ran
    EXPECT_FALSE(sim().RunUntil([] { return false; }, kSecond));
    EXPECT_EQ(sim().Now(), kSecond);
    EXPECT_TRUE(sim().RunUntil([] { return true; }, 0));  // holds already: no time passes
    sim().RunFor(3 * kSecond);
    EXPECT_EQ(sim().Now(), 4 * kSecond);
  });
}

TEST_F(KernelTimers, RunUntilLetsReadyThreadsFinishTheirWorkFirst) {
  SystemThreads threads;
  Run([&] {
    LONG steps = 0;
    threads.Start([&steps] {
      for (int i = 0; i < 5; ++i) {
        InterlockedIncrement(&steps);
        NdisMSleep(0);  // yields
      }
    });
    EXPECT_TRUE(sim().RunUntil([&] { return steps == 5; }, 0));
    EXPECT_EQ(sim().Now(), 0);
  });
}

// ---------------------------------------------------------------------------
// The seed for a whole test run
// ---------------------------------------------------------------------------

// Sets SIR_SIM_SEED for one scope and restores it.
class SeedVariable {
 public:
  explicit SeedVariable(const char* value) {
    if (const char* old = std::getenv("SIR_SIM_SEED")) saved_ = old;
    setenv("SIR_SIM_SEED", value, 1);
  }
  ~SeedVariable() {
    if (saved_.empty()) {
      unsetenv("SIR_SIM_SEED");
    } else {
      setenv("SIR_SIM_SEED", saved_.c_str(), 1);
    }
  }

 private:
  std::string saved_;
};

TEST(KernelSeed, ComesFromTheEnvironment) {
  struct {
    const char* text;
    std::uint64_t seed;
  } const cases[] = {
      {"", 0}, {"0", 0}, {"17", 17}, {"0x1f", 31}, {"18446744073709551615", UINT64_MAX}};
  for (const auto& c : cases) {
    SeedVariable variable(c.text);
    EXPECT_EQ(host::SeedFromEnvironment(), c.seed) << "'" << c.text << "'";
    EXPECT_EQ(host::Simulation().seed(), c.seed);
  }
}

TEST(KernelSeedDeathTest, RefusesAMistypedSeed) {
  for (const char* text : {"abc", "12x", "-1", "99999999999999999999"}) {
    SeedVariable variable(text);
    EXPECT_EXIT(host::SeedFromEnvironment(), ::testing::ExitedWithCode(2),
                "SIR_SIM_SEED must be an unsigned number")
        << text;
  }
}

}  // namespace
