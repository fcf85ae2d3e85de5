// The verifier's checks on IRQL, locks, pool and kernel objects, each made to fire by its
// misuse and kept silent by the correct use next to it; pool bookkeeping and allocation
// fault injection.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/kernel/simulation.h"
#include "platform/kernel.h"
#include "platform/ndis.h"
#include "tests/host/kernel_test_support.h"
#include "tests/support/sim_test.h"

// Outside the anonymous namespace, so that reports can name it as the caller.
namespace kernel_verifier_test {
// A record with its first byte cleared (which also keeps the call from being a tail call,
// so that the allocation's caller is this function).
__attribute__((noinline)) void* AllocateRecord(SIZE_T size) {
  auto* record = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, size, 0x53495220));
  if (record != nullptr) record[0] = 0;
  return record;
}
}  // namespace kernel_verifier_test

namespace {

using host::kMillisecond;
using kerneltest::Relative;
using kerneltest::SystemThreads;
namespace rule = host::rule;

constexpr ULONG kTag = 0x53495220;

// What a row's bodies may use: the simulation, threads, and a lock and an event ready for
// use.
struct Bench {
  host::Simulation& sim;
  SystemThreads& threads;
  KSPIN_LOCK lock;
  KSPIN_LOCK otherLock;
  KEVENT event;
};

struct MisuseCase {
  const char* name;
  void (*misuse)(Bench&);
  std::string_view rule;
  const char* thread;
  const char* call;
  const char* detail;  // a part of the finding's detail
  void (*correct)(Bench&);
};

void WaitBriefly(KEVENT& event, host::VirtualTime span) {
  LARGE_INTEGER timeout = Relative(span);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

const MisuseCase kMisuseCases[] = {
    // IRQL
    {"SleepWhileHoldingASpinLock",
     [](Bench& b) {
       KIRQL old = KfAcquireSpinLock(&b.lock);
       NdisMSleep(10);
       KfReleaseSpinLock(&b.lock, old);
     },
     rule::kSleepAbovePassive, "test", "NdisMSleep", "called at IRQL 2, above PASSIVE_LEVEL",
     [](Bench& b) {
       KIRQL old = KfAcquireSpinLock(&b.lock);
       KfReleaseSpinLock(&b.lock, old);
       NdisMSleep(10);
     }},
    {"DelayInTheCompletionContext",
     [](Bench& b) {
       b.sim.ScheduleAfter(0, [] {
         LARGE_INTEGER interval = Relative(10);
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
       });
       b.sim.RunFor(kMillisecond);
     },
     rule::kSleepAbovePassive, "completion", "KeDelayExecutionThread", "IRQL 2",
     [](Bench& b) {
       b.threads.Start([] {
         LARGE_INTEGER interval = Relative(10);
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
       });
       b.sim.RunFor(kMillisecond);
     }},
    {"TimedWaitAtDispatchLevel",
     [](Bench& b) {
       host::IrqlScope dispatch(DISPATCH_LEVEL);
       WaitBriefly(b.event, kMillisecond);
     },
     rule::kWaitAbovePassive, "test", "KeWaitForSingleObject", "called at IRQL 2",
     [](Bench& b) {
       host::IrqlScope dispatch(DISPATCH_LEVEL);
       WaitBriefly(b.event, 0);  // a poll is allowed
     }},
    // Locks
    {"ReleaseALockNotHeld", [](Bench& b) { KfReleaseSpinLock(&b.lock, PASSIVE_LEVEL); },
     rule::kLockNotHeld, "test", "KfReleaseSpinLock", "is not held by this thread",
     [](Bench& b) { KfReleaseSpinLock(&b.lock, KfAcquireSpinLock(&b.lock)); }},
    {"AcquireALockTheThreadHolds",
     [](Bench& b) {
       KIRQL old = KfAcquireSpinLock(&b.lock);
       KIRQL inner = KfAcquireSpinLock(&b.lock);
       KfReleaseSpinLock(&b.lock, inner);
       EXPECT_EQ(b.lock, reinterpret_cast<KSPIN_LOCK>(KeGetCurrentThread()));  // still held
       KfReleaseSpinLock(&b.lock, old);
       EXPECT_EQ(b.lock, 0u);
     },
     rule::kLockRecursive, "test", "KfAcquireSpinLock", "is already held by this thread",
     [](Bench& b) {
       KfReleaseSpinLock(&b.lock, KfAcquireSpinLock(&b.lock));
       KfReleaseSpinLock(&b.lock, KfAcquireSpinLock(&b.lock));
     }},
    {"InterlockedListCallUnderItsOwnLock",
     [](Bench& b) {
       LIST_ENTRY list;
       InitializeListHead(&list);
       KIRQL old = KfAcquireSpinLock(&b.lock);
       ExfInterlockedRemoveHeadList(&list, &b.lock);
       KfReleaseSpinLock(&b.lock, old);
     },
     rule::kLockRecursive, "test", "ExfInterlockedRemoveHeadList", "already held",
     [](Bench& b) {
       LIST_ENTRY list;
       InitializeListHead(&list);
       ExfInterlockedRemoveHeadList(&list, &b.lock);
     }},
    {"HoldTwoLocksAtOnce",
     [](Bench& b) {
       KIRQL old = KfAcquireSpinLock(&b.lock);
       KIRQL inner = KfAcquireSpinLock(&b.otherLock);
       KfReleaseSpinLock(&b.otherLock, inner);
       KfReleaseSpinLock(&b.lock, old);
     },
     rule::kTwoLocks, "test", "KfAcquireSpinLock", "while holding lock",
     [](Bench& b) {
       KfReleaseSpinLock(&b.lock, KfAcquireSpinLock(&b.lock));
       KfReleaseSpinLock(&b.otherLock, KfAcquireSpinLock(&b.otherLock));
     }},
    {"ReleaseToAnotherIrql",
     [](Bench& b) {
       b.sim.ScheduleAfter(0, [&b] {
         KfAcquireSpinLock(&b.lock);
         KfReleaseSpinLock(&b.lock, PASSIVE_LEVEL);  // would drop the DPC to passive level
       });
       b.sim.RunFor(0);
     },
     rule::kLockIrql, "completion", "KfReleaseSpinLock",
     "released to IRQL 0, but it was acquired at IRQL 2",
     [](Bench& b) {
       b.sim.ScheduleAfter(0, [&b] { KfReleaseSpinLock(&b.lock, KfAcquireSpinLock(&b.lock)); });
       b.sim.RunFor(0);
     }},
    {"ThreadEndsHoldingALock",
     [](Bench& b) {
       b.threads.Start([&b] { KfAcquireSpinLock(&b.lock); });
       b.sim.RunFor(0);
     },
     rule::kLockHeldOnReturn, "kerneltest::TestThread#1", "thread exit",
     "1 spin lock(s) still held",
     [](Bench& b) {
       b.threads.Start([&b] { KfReleaseSpinLock(&b.lock, KfAcquireSpinLock(&b.lock)); });
       b.sim.RunFor(0);
     }},
    {"CompletionWorkReturnsHoldingALock",
     [](Bench& b) {
       b.sim.ScheduleAfter(0, [&b] { KfAcquireSpinLock(&b.lock); });
       b.sim.RunFor(0);
     },
     rule::kLockHeldOnReturn, "completion", "completion work", "still held",
     [](Bench& b) {
       b.sim.ScheduleAfter(0, [&b] { KfReleaseSpinLock(&b.lock, KfAcquireSpinLock(&b.lock)); });
       b.sim.RunFor(0);
     }},
    {"AcquireALockNeverInitialized",
     [](Bench&) {
       auto* lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
       KfReleaseSpinLock(lock, KfAcquireSpinLock(lock));  // taken anyway: no endless spin
       ExFreePool(lock);
     },
     rule::kBadArgument, "test", "KfAcquireSpinLock", "is not initialized",
     [](Bench&) {
       auto* lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
       KeInitializeSpinLock(lock);
       KfReleaseSpinLock(lock, KfAcquireSpinLock(lock));
       ExFreePool(lock);
     }},
    // Pool
    {"NdisFreeMemoryWithAnotherLength",
     [](Bench&) {
       PVOID memory = nullptr;
       NdisAllocateMemoryWithTag(&memory, 100, kTag);
       NdisFreeMemory(memory, 64, 0);
     },
     rule::kPoolLength, "test", "NdisFreeMemory", "freed with length 64, allocated with 100",
     [](Bench&) {
       PVOID memory = nullptr;
       NdisAllocateMemoryWithTag(&memory, 100, kTag);
       NdisFreeMemory(memory, 100, 0);
     }},
    {"NdisFreeMemoryWithFlags",
     [](Bench&) {
       PVOID memory = nullptr;
       NdisAllocateMemoryWithTag(&memory, 16, kTag);
       NdisFreeMemory(memory, 16, 1);
     },
     rule::kBadArgument, "test", "NdisFreeMemory", "flags 1",
     [](Bench&) {
       PVOID memory = nullptr;
       NdisAllocateMemoryWithTag(&memory, 16, kTag);
       NdisFreeMemory(memory, 16, 0);
     }},
    {"DoubleFree",
     [](Bench&) {
       PVOID memory = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
       ExFreePool(memory);
       ExFreePool(memory);
     },
     rule::kPoolDoubleFree, "test", "ExFreePool", "is not a live allocation",
     [](Bench&) { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 32, kTag)); }},
    {"DoubleFreeAfterAnotherAllocationOfTheSameSize",
     [](Bench& b) {
       PVOID first = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
       ExFreePool(first);
       PVOID second = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
       ExFreePool(first);  // must not free `second`
       EXPECT_NE(b.sim.pool().Find(second), nullptr);
       ExFreePool(second);
     },
     rule::kPoolDoubleFree, "test", "ExFreePool", "is not a live allocation",
     [](Bench&) {
       ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
       ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
     }},
    {"FreeOfMemoryNeverAllocated", [](Bench& b) { ExFreePool(&b.event); }, rule::kPoolUnknownFree,
     "test", "ExFreePool", "is not a live allocation",
     [](Bench&) { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag)); }},
    {"FreeWithTheOtherFamilysCall",
     [](Bench&) {
       PVOID memory = nullptr;
       NdisAllocateMemoryWithTag(&memory, 16, kTag);
       ExFreePool(memory);
     },
     rule::kPoolWrongCall, "test", "ExFreePool",
     "memory from NdisAllocateMemoryWithTag freed with ExFreePool",
     [](Bench&) {
       PVOID memory = nullptr;
       NdisAllocateMemoryWithTag(&memory, 16, kTag);
       NdisFreeMemory(memory, 16, 0);
     }},
    {"LeakFoundAtACheckpoint",
     [](Bench& b) {
       kernel_verifier_test::AllocateRecord(24);
       EXPECT_EQ(b.sim.pool().CheckLeaks("MiniportHalt"), 1u);
     },
     rule::kPoolLeak, "test", "MiniportHalt",
     "24 bytes with tag ' RIS' (0x53495220) from ExAllocatePoolWithTag by "
     "kernel_verifier_test::AllocateRecord+0x",
     [](Bench& b) {
       ExFreePool(kernel_verifier_test::AllocateRecord(24));
       EXPECT_EQ(b.sim.pool().CheckLeaks("MiniportHalt"), 0u);
     }},
    // Kernel objects in pool
    {"FreeMemoryHoldingAnEventAThreadWaitsOn",
     [](Bench& b) {
       auto* event =
           static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
       KeInitializeEvent(event, NotificationEvent, FALSE);
       b.threads.Start(
           [event] { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); });
       b.sim.RunFor(0);
       ExFreePool(event);
     },
     rule::kPoolFreeWithWaiter, "test", "ExFreePool",
     "holds an object that kerneltest::TestThread#1 waits on",
     [](Bench& b) {
       auto* event =
           static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
       KeInitializeEvent(event, NotificationEvent, FALSE);
       b.threads.Start(
           [event] { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); });
       b.sim.RunFor(0);
       KeSetEvent(event, 0, FALSE);
       b.sim.RunFor(0);
       ExFreePool(event);
     }},
    {"FreeMemoryHoldingAQueuedDpc",
     [](Bench& b) {
       static bool ran;
       ran = false;
       b.sim.ScheduleAfter(0, [] {
         PVOID memory = nullptr;
         NdisAllocateMemoryWithTag(&memory, sizeof(KDPC), kTag);
         auto* dpc = static_cast<PKDPC>(memory);
         KeInitializeDpc(
             dpc, [](PKDPC, PVOID, PVOID, PVOID) { ran = true; }, nullptr);
         KeInsertQueueDpc(dpc, nullptr, nullptr);
         NdisFreeMemory(memory, sizeof(KDPC), 0);
       });
       b.sim.RunFor(kMillisecond);
       EXPECT_FALSE(ran) << "a DPC ran from freed memory";
     },
     rule::kPoolFreeQueuedDpc, "completion", "NdisFreeMemory", "a DPC that is still queued",
     [](Bench& b) {
       static KDPC* queued;
       b.sim.ScheduleAfter(0, [] {
         PVOID memory = nullptr;
         NdisAllocateMemoryWithTag(&memory, sizeof(KDPC), kTag);
         queued = static_cast<PKDPC>(memory);
         KeInitializeDpc(
             queued, [](PKDPC dpc, PVOID, PVOID, PVOID) { NdisFreeMemory(dpc, sizeof(KDPC), 0); },
             nullptr);
         KeInsertQueueDpc(queued, nullptr, nullptr);
       });
       b.sim.RunFor(kMillisecond);
       EXPECT_EQ(b.sim.pool().LiveCount(), 0u);
     }},
    {"WaitOnAnEventNeverInitialized",
     [](Bench&) {
       PVOID event = ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag);
       EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr),
                 STATUS_INVALID_PARAMETER);
       ExFreePool(event);
     },
     rule::kBadArgument, "test", "KeWaitForSingleObject", "is not an initialized event",
     [](Bench&) {
       auto* event =
           static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
       KeInitializeEvent(event, NotificationEvent, TRUE);
       EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr),
                 STATUS_WAIT_0);
       ExFreePool(event);
     }},
    {"SetAZeroedEvent",
     [](Bench&) {
       KEVENT event{};
       EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
     },
     rule::kBadArgument, "test", "KeSetEvent", "is not an initialized event",
     [](Bench&) {
       KEVENT event{};
       KeInitializeEvent(&event, SynchronizationEvent, FALSE);
       EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
     }},
    // Threads
    {"TerminateTheTestThread", [](Bench&) { PsTerminateSystemThread(STATUS_SUCCESS); },
     rule::kNotSystemThread, "test", "PsTerminateSystemThread",
     "called on the test thread, which PsCreateSystemThread did not create",
     [](Bench& b) {
       b.threads.Start([] { PsTerminateSystemThread(STATUS_SUCCESS); });
       b.sim.RunFor(0);
     }},
    {"CloseAThreadHandleTwice",
     [](Bench& b) {
       HANDLE handle = b.threads.Start([] {});
       EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
       EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
     },
     rule::kBadArgument, "test", "ZwClose", "not an open thread handle",
     [](Bench& b) { EXPECT_EQ(ZwClose(b.threads.Start([] {})), STATUS_SUCCESS); }},
    {"CompletionWorkThrows",
     [](Bench& b) {
       static bool laterRan;
       laterRan = false;
       b.sim.ScheduleAfter(0, [] { throw std::runtime_error("no such pipe"); });
       b.sim.ScheduleAfter(kMillisecond, [] { laterRan = true; });
       b.sim.RunFor(2 * kMillisecond);
       EXPECT_TRUE(laterRan) << "the completion context ended with the failing item";
     },
     rule::kThreadException, "completion", "completion work", "no such pipe",
     [](Bench& b) {
       static int ran;
       ran = 0;
       b.sim.ScheduleAfter(0, [] { ++ran; });
       b.sim.ScheduleAfter(kMillisecond, [] { ++ran; });
       b.sim.RunFor(2 * kMillisecond);
       EXPECT_EQ(ran, 2);
     }},
};

class KernelVerifier : public sirtest::SimTest, public ::testing::WithParamInterface<MisuseCase> {
 protected:
  void RunBench(void (*body)(Bench&)) {
    Run([&] {
      Bench bench{sim(), threads_, 0, 0, {}};
      KeInitializeSpinLock(&bench.lock);
      KeInitializeSpinLock(&bench.otherLock);
      KeInitializeEvent(&bench.event, SynchronizationEvent, FALSE);
      body(bench);
    });
  }

 private:
  SystemThreads threads_;
};

TEST_P(KernelVerifier, FindingNamesTheRuleThreadCallAndState) {
  const MisuseCase& c = GetParam();
  ExpectFinding(c.rule);
  RunBench(c.misuse);
  const auto& found = sim().verifier().violations();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].rule, c.rule);
  EXPECT_EQ(found[0].thread, c.thread);
  EXPECT_EQ(found[0].call, c.call);
  EXPECT_NE(found[0].detail.find(c.detail), std::string::npos) << found[0].detail;
  EXPECT_NE(found[0].Describe().find(found[0].detail), std::string::npos);
}

TEST_P(KernelVerifier, CorrectUseIsSilent) {
  RunBench(GetParam().correct);
  EXPECT_TRUE(sim().verifier().violations().empty());
  EXPECT_EQ(sim().pool().LiveCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelVerifier, ::testing::ValuesIn(kMisuseCases),
                         kerneltest::CaseName<MisuseCase>);

// ---------------------------------------------------------------------------
// Pool bookkeeping
// ---------------------------------------------------------------------------

class KernelPool : public sirtest::SimTest {};

TEST_F(KernelPool, TracksEachAllocationAndHandsOutFilledAlignedMemory) {
  Run([&] {
    auto* bytes =
        static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 100, kTag));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % 64, 0u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0xCD) << i;  // never zeroed for free
    const host::PoolAllocation* allocation = sim().pool().Find(bytes);
    ASSERT_NE(allocation, nullptr);
    EXPECT_EQ(allocation->size, 100u);
    EXPECT_EQ(allocation->tag, kTag);
    EXPECT_EQ(allocation->kind, host::PoolKind::kExecutive);
    EXPECT_STREQ(allocation->call, "ExAllocatePoolWithTag");
    PVOID record = nullptr;
    EXPECT_EQ(NdisAllocateMemoryWithTag(&record, 8, 0x49525542), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(sim().pool().LiveCount(), 2u);
    EXPECT_EQ(sim().pool().LiveCount(kTag), 1u);
    ExFreePool(bytes);
    NdisFreeMemory(record, 8, 0);
    EXPECT_EQ(sim().pool().LiveCount(), 0u);
    EXPECT_EQ(sim().pool().Find(bytes), nullptr);
  });
}

TEST_F(KernelPool, ImpossibleSizesFailInsteadOfWrapping) {
  Run([] {
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX - 8, kTag), nullptr);
    PVOID memory = &memory;
    EXPECT_EQ(NdisAllocateMemoryWithTag(&memory, 0xFFFFFFFFu, kTag), NDIS_STATUS_FAILURE);
    EXPECT_EQ(memory, nullptr);
    PVOID empty = ExAllocatePoolWithTag(NonPagedPool, 0, kTag);  // a size of 0 is valid
    EXPECT_NE(empty, nullptr);
    ExFreePool(empty);
  });
}

// ---------------------------------------------------------------------------
// Allocation fault injection
// ---------------------------------------------------------------------------

constexpr ULONG kOtherTag = 0x49525542;

struct FaultCase {
  const char* name;
  void (*configure)(host::FaultInjector&);
  // Which of the six allocations below fail.
  std::vector<bool> failed;
};

const FaultCase kFaultCases[] = {
    {"None", [](host::FaultInjector&) {}, {false, false, false, false, false, false}},
    {"TheThird",
     [](host::FaultInjector& f) { f.FailNth(3); },
     {false, false, true, false, false, false}},
    {"TheSecondAndTheSixth",
     [](host::FaultInjector& f) {
       f.FailNth(2);
       f.FailNth(6);
     },
     {false, true, false, false, false, true}},
    {"TheThreadCreation",
     [](host::FaultInjector& f) { f.FailNth(5); },
     {false, false, false, false, true, false}},
    {"AllOfOneTag",
     [](host::FaultInjector& f) { f.FailTag(kOtherTag); },
     {false, true, false, true, false, false}},
    {"ATagNoLongerFailed",
     [](host::FaultInjector& f) {
       f.FailTag(kOtherTag);
       f.StopFailingTag(kOtherTag);
     },
     {false, false, false, false, false, false}},
    {"EveryOneAtRandomRateOne",
     [](host::FaultInjector& f) { f.FailRandomly(1.0, 7); },
     {true, true, true, true, true, true}},
};

class KernelFaults : public sirtest::SimTest, public ::testing::WithParamInterface<FaultCase> {};

// Six allocations of all kinds: pool and NDIS memory of two tags, and a system thread.
std::vector<bool> AllocateSix() {
  std::vector<bool> failed;
  std::vector<PVOID> pool;
  std::vector<PVOID> ndis;
  auto executive = [&](ULONG tag) {
    PVOID memory = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    failed.push_back(memory == nullptr);
    if (memory != nullptr) pool.push_back(memory);
  };
  auto ndisMemory = [&](ULONG tag) {
    PVOID memory = nullptr;
    NDIS_STATUS status = NdisAllocateMemoryWithTag(&memory, 16, tag);
    EXPECT_EQ(status == NDIS_STATUS_SUCCESS, memory != nullptr);
    failed.push_back(memory == nullptr);
    if (memory != nullptr) ndis.push_back(memory);
  };
  executive(kTag);
  ndisMemory(kOtherTag);
  executive(kTag);
  ndisMemory(kOtherTag);
  HANDLE thread = nullptr;
  NTSTATUS status = PsCreateSystemThread(
      &thread, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
  EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES);
  failed.push_back(status != STATUS_SUCCESS);
  executive(kTag);
  for (PVOID memory : pool) ExFreePool(memory);
  for (PVOID memory : ndis) NdisFreeMemory(memory, 16, 0);
  return failed;
}

TEST_P(KernelFaults, ExactlyTheChosenAllocationsFail) {
  GetParam().configure(sim().faults());
  Run([&] {
    EXPECT_EQ(AllocateSix(), GetParam().failed);
    EXPECT_EQ(sim().faults().allocations(), 6u);
    EXPECT_EQ(sim().faults().injected(),
              static_cast<std::uint64_t>(
                  std::count(GetParam().failed.begin(), GetParam().failed.end(), true)));
  });
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelFaults, ::testing::ValuesIn(kFaultCases),
                         kerneltest::CaseName<FaultCase>);

TEST(KernelFaultsAtRandom, TheSameSeedFailsTheSameAllocations) {
  auto pattern = [](std::uint64_t faultSeed) {
    std::vector<bool> failed;
    kerneltest::RunWithSeed(host::SeedFromEnvironment(), [&](host::Simulation& simulation) {
      simulation.faults().FailRandomly(0.5, faultSeed);
      for (int i = 0; i < 64; ++i) {
        PVOID memory = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        failed.push_back(memory == nullptr);
        if (memory != nullptr) ExFreePool(memory);
      }
    });
    return failed;
  };
  std::vector<bool> first = pattern(11);
  EXPECT_EQ(pattern(11), first);
  EXPECT_NE(pattern(12), first);
  auto failures = std::count(first.begin(), first.end(), true);
  EXPECT_GT(failures, 10);  // about half of 64
  EXPECT_LT(failures, 54);
}

}  // namespace
