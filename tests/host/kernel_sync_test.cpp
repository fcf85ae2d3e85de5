// Events and waits, spin locks, interlocked counters and lists, and DPCs, driven through
// the platform calls from simulated threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/kernel/simulation.h"
#include "platform/kernel.h"
#include "platform/ndis.h"
#include "tests/host/kernel_test_support.h"
#include "tests/support/sim_test.h"

namespace {

using host::kForever;
using host::kMillisecond;
using host::kSecond;
using kerneltest::Relative;
using kerneltest::SystemThreads;

NTSTATUS WaitForever(KEVENT& event) {
  return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

// ---------------------------------------------------------------------------
// KeWaitForMultipleObjects over two events
// ---------------------------------------------------------------------------

// Which events the completion thread sets during the wait: one at 1 s; for kBoth the first
// at 1 s and the second at 2 s; kLastAfterTimeOut sets the second at 3 s.
enum class SetLater { kNone, kFirstEvent, kSecondEvent, kBoth, kLastAfterTimeOut };

struct MultiWaitCase {
  const char* name;
  EVENT_TYPE type;
  WAIT_TYPE waitType;
  bool firstSignalled;
  bool secondSignalled;
  SetLater setLater;
  host::VirtualTime timeout;  // kForever: none
  NTSTATUS status;
  host::VirtualTime elapsed;
  LONG firstAfter;  // the events' states once everything has run
  LONG secondAfter;
};

constexpr host::VirtualTime k2s = 2 * kSecond;

const MultiWaitCase kMultiWaitCases[] = {
    // name, type, wait, signalled 1 2, set later, time-out, status, elapsed, states after
    {"BothSignalledTheFirstAnswers", NotificationEvent, WaitAny, true, true, SetLater::kNone, k2s,
     STATUS_WAIT_0, 0, 1, 1},
    {"OnlyTheSecondSignalled", NotificationEvent, WaitAny, false, true, SetLater::kNone, k2s,
     STATUS_WAIT_1, 0, 0, 1},
    {"SynchronizationEventsGiveUpOnlyTheAnswer", SynchronizationEvent, WaitAny, true, true,
     SetLater::kNone, k2s, STATUS_WAIT_0, 0, 0, 1},
    {"SecondSetDuringTheWait", SynchronizationEvent, WaitAny, false, false, SetLater::kSecondEvent,
     k2s, STATUS_WAIT_1, kSecond, 0, 0},
    {"FirstSetWithoutTimeOut", NotificationEvent, WaitAny, false, false, SetLater::kFirstEvent,
     kForever, STATUS_WAIT_0, kSecond, 1, 0},
    {"NeitherSetTimesOut", SynchronizationEvent, WaitAny, false, false, SetLater::kNone, k2s,
     STATUS_TIMEOUT, k2s, 0, 0},
    {"ZeroTimeOutPolls", SynchronizationEvent, WaitAny, false, false, SetLater::kNone, 0,
     STATUS_TIMEOUT, 0, 0, 0},
    {"SetAfterTheTimeOutStaysSignalled", SynchronizationEvent, WaitAny, false, false,
     SetLater::kLastAfterTimeOut, k2s, STATUS_TIMEOUT, k2s, 0, 1},
    {"WaitAllEndsWithTheLastOne", SynchronizationEvent, WaitAll, false, false, SetLater::kBoth,
     3 * kSecond, STATUS_WAIT_0, k2s, 0, 0},
    {"WaitAllTimesOutWithoutTakingThePartOfItThatCame", SynchronizationEvent, WaitAll, true, false,
     SetLater::kNone, k2s, STATUS_TIMEOUT, k2s, 1, 0},
};

class KernelMultiWait : public sirtest::SimTest,
                        public ::testing::WithParamInterface<MultiWaitCase> {};

TEST_P(KernelMultiWait, AnswersAsTheEventsAndTheTimeOutDecide) {
  const MultiWaitCase& c = GetParam();
  Run([&] {
    KEVENT first;
    KEVENT second;
    KeInitializeEvent(&first, c.type, c.firstSignalled);
    KeInitializeEvent(&second, c.type, c.secondSignalled);
    auto setAt = [&](KEVENT& event, host::VirtualTime when) {
      sim().ScheduleAt(when, [&event] { KeSetEvent(&event, 0, FALSE); });
    };
    switch (c.setLater) {
      case SetLater::kNone:
        break;
      case SetLater::kFirstEvent:
        setAt(first, kSecond);
        break;
      case SetLater::kSecondEvent:
        setAt(second, kSecond);
        break;
      case SetLater::kBoth:
        setAt(first, kSecond);
        setAt(second, k2s);
        break;
      case SetLater::kLastAfterTimeOut:
        setAt(second, 3 * kSecond);
        break;
    }
    PVOID objects[] = {&first, &second};
    LARGE_INTEGER timeout = Relative(c.timeout);
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, c.waitType, Executive, KernelMode, FALSE,
                                               c.timeout == kForever ? nullptr : &timeout, nullptr);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(sim().Now(), c.elapsed);
    sim().RunFor(5 * kSecond);
    EXPECT_EQ(KeReadStateEvent(&first), c.firstAfter);
    EXPECT_EQ(KeReadStateEvent(&second), c.secondAfter);
  });
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelMultiWait, ::testing::ValuesIn(kMultiWaitCases),
                         kerneltest::CaseName<MultiWaitCase>);

// ---------------------------------------------------------------------------
// Releasing waiters; the event state calls
// ---------------------------------------------------------------------------

class KernelEvent : public sirtest::SimTest {};

TEST(KernelEventRelease, SynchronizationReleasesOneWaiterAndResetsNotificationReleasesAll) {
  struct {
    EVENT_TYPE type;
    std::vector<int> releasedByFirstSet;
    LONG stateAfter;
    std::vector<int> releasedBySecondSet;
  } const cases[] = {
      {SynchronizationEvent, {0}, 0, {0, 1}},
      {NotificationEvent, {0, 1, 2}, 1, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    SystemThreads threads;
    kerneltest::RunWithSeed(host::SeedFromEnvironment(), [&](host::Simulation& simulation) {
      KEVENT event;
      KeInitializeEvent(&event, c.type, FALSE);
      std::vector<int> released;
      for (int waiter = 0; waiter < 3; ++waiter) {
        threads.Start([&, waiter] {
          EXPECT_EQ(WaitForever(event), STATUS_WAIT_0);
          released.push_back(waiter);
        });
        simulation.RunFor(kMillisecond);  // it waits before the next one starts
      }
      EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
      // Released threads run in the order the seed gives; which ones were released is
      // what counts.
      auto releasedSoFar = [&] {
        simulation.RunFor(kMillisecond);
        std::vector<int> sorted = released;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
      };
      EXPECT_EQ(releasedSoFar(), c.releasedByFirstSet) << "type " << c.type;
      EXPECT_EQ(KeReadStateEvent(&event), c.stateAfter) << "type " << c.type;
      KeSetEvent(&event, 0, FALSE);
      EXPECT_EQ(releasedSoFar(), c.releasedBySecondSet) << "type " << c.type;
      KeSetEvent(&event, 0, FALSE);  // the last synchronization waiter
      simulation.RunFor(kMillisecond);
      EXPECT_EQ(released.size(), 3u);
    });
  }
}

TEST_F(KernelEvent, StateCallsAnswerThePreviousState) {
  Run([] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    // A signalled notification event satisfies every wait without being reset.
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(WaitForever(event), STATUS_WAIT_0);
    EXPECT_EQ(WaitForever(event), STATUS_WAIT_0);
  });
}

// ---------------------------------------------------------------------------
// Spin locks and interlocked calls
// ---------------------------------------------------------------------------

TEST(KernelSpinLock, ExcludesOtherThreadsAndTheCompletionContextUnderEverySeed) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    SystemThreads threads;
    kerneltest::RunWithSeed(seed, [&](host::Simulation& simulation) {
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      bool inside = false;
      int counter = 0;
      LONG unrelated = 0;
      auto criticalSection = [&] {
        KIRQL old = KfAcquireSpinLock(&lock);
        EXPECT_FALSE(inside) << "seed " << seed;
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        inside = true;
        InterlockedIncrement(&unrelated);  // a place where another thread may run
        ++counter;
        inside = false;
        KfReleaseSpinLock(&lock, old);
        return old;
      };
      for (int t = 0; t < 3; ++t) {
        threads.Start([&] {
          for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(criticalSection(), PASSIVE_LEVEL);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
          }
        });
      }
      for (int i = 0; i < 10; ++i) {
        simulation.ScheduleAfter(i * host::kMicrosecond,
                                 [&] { EXPECT_EQ(criticalSection(), DISPATCH_LEVEL); });
      }
      EXPECT_TRUE(simulation.RunUntil([&] { return counter == 70; }, kSecond))
          << "seed " << seed << ": " << counter;
    });
  }
}

struct Item {
  LIST_ENTRY link;
  int producer;
  int sequence;
};

TEST(KernelInterlockedList, ProducersAndAConsumerLoseAndReorderNothing) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    SystemThreads threads;
    kerneltest::RunWithSeed(seed, [&](host::Simulation& simulation) {
      LIST_ENTRY list;
      InitializeListHead(&list);
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      constexpr int kPerProducer = 30;
      std::vector<Item> items(2 * kPerProducer);
      for (int producer = 0; producer < 2; ++producer) {
        threads.Start([&, producer] {
          for (int i = 0; i < kPerProducer; ++i) {
            Item& item = items[producer * kPerProducer + i];
            item.producer = producer;
            item.sequence = i;
            ExfInterlockedInsertTailList(&list, &item.link, &lock);
          }
        });
      }
      int next[2] = {0, 0};
      int taken = 0;
      while (taken < 2 * kPerProducer) {
        PLIST_ENTRY entry = ExfInterlockedRemoveHeadList(&list, &lock);
        if (entry == nullptr) {
          simulation.RunFor(host::kMicrosecond);
          continue;
        }
        Item* item = CONTAINING_RECORD(entry, Item, link);
        EXPECT_EQ(item->sequence, next[item->producer]++) << "seed " << seed;
        ++taken;
      }
      EXPECT_TRUE(IsListEmpty(&list));
    });
  }
}

TEST(KernelInterlockedList, InsertsAnswerTheEntryTheyPassedAndRemoveAnswersNullWhenEmpty) {
  kerneltest::RunWithSeed(host::SeedFromEnvironment(), [](host::Simulation&) {
    LIST_ENTRY list;
    InitializeListHead(&list);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    Item a{}, b{}, c{};
    EXPECT_EQ(ExfInterlockedRemoveHeadList(&list, &lock), nullptr);
    EXPECT_EQ(ExfInterlockedInsertTailList(&list, &a.link, &lock), nullptr);  // was empty
    EXPECT_EQ(ExfInterlockedInsertTailList(&list, &b.link, &lock), &a.link);  // the old tail
    EXPECT_EQ(ExfInterlockedInsertHeadList(&list, &c.link, &lock), &a.link);  // the old head
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);
    for (Item* expected : {&c, &a, &b}) {
      EXPECT_EQ(ExfInterlockedRemoveHeadList(&list, &lock), &expected->link);
    }
    EXPECT_EQ(ExfInterlockedRemoveHeadList(&list, &lock), nullptr);

    LONG counter = 5;
    EXPECT_EQ(InterlockedIncrement(&counter), 6);
    EXPECT_EQ(InterlockedDecrement(&counter), 5);
    EXPECT_EQ(InterlockedExchange(&counter, 9), 5);
    EXPECT_EQ(counter, 9);
  });
}

// ---------------------------------------------------------------------------
// DPCs
// ---------------------------------------------------------------------------

struct DpcRecord {
  int runs = 0;
  PVOID context = nullptr;
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
  KIRQL irql = 0xFF;
  std::string thread;
};

void RecordDpc(PKDPC, PVOID context, PVOID argument1, PVOID argument2) {
  auto* record = static_cast<DpcRecord*>(context);
  ++record->runs;
  record->context = context;
  record->argument1 = argument1;
  record->argument2 = argument2;
  record->irql = KeGetCurrentIrql();
  record->thread = host::CurrentThreadName();
}

class KernelDpc : public sirtest::SimTest {};

TEST_F(KernelDpc, RunsOnceAtDispatchLevelAndIsRefusedWhileQueued) {
  Run([&] {
    DpcRecord record;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    int a = 0, b = 0;
    // Queued from the completion context, the DPC cannot run before this item returns.
    sim().ScheduleAfter(0, [&] {
      EXPECT_EQ(KeInsertQueueDpc(&dpc, &a, &b), TRUE);
      EXPECT_EQ(KeInsertQueueDpc(&dpc, &b, &a), FALSE);  // already queued: changes nothing
      EXPECT_EQ(record.runs, 0);
    });
    sim().RunFor(0);
    EXPECT_EQ(record.runs, 1);
    EXPECT_EQ(record.context, &record);
    EXPECT_EQ(record.argument1, &a);
    EXPECT_EQ(record.argument2, &b);
    EXPECT_EQ(record.irql, DISPATCH_LEVEL);
    EXPECT_EQ(record.thread, "completion");
    EXPECT_EQ(sim().Now(), 0);
    // Once it ran it may be queued again, from any level.
    {
      host::IrqlScope dispatch(DISPATCH_LEVEL);
      EXPECT_EQ(KeInsertQueueDpc(&dpc, &b, nullptr), TRUE);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    }
    sim().RunFor(0);
    EXPECT_EQ(record.runs, 2);
    EXPECT_EQ(record.argument1, &b);
  });
}

}  // namespace
