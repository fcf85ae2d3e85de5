// System threads (creation, names, priority, handles, termination), the end of a run with
// threads still alive, DbgPrint's log and the WDM version query.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/kernel/simulation.h"
#include "platform/kernel.h"
#include "platform/ndis.h"
#include "tests/host/kernel_test_support.h"
#include "tests/support/sim_test.h"

// Start routines with external linkage, so that threads are named after them.
namespace kernel_threads_test {

struct Visit {
  PVOID context = nullptr;
  KIRQL irql = 0xFF;
  std::string thread;
  bool afterTermination = false;
};

void RecordAndTerminate(PVOID context) {
  auto* visit = static_cast<Visit*>(context);
  visit->context = context;
  visit->irql = KeGetCurrentIrql();
  visit->thread = host::CurrentThreadName();
  PsTerminateSystemThread(STATUS_SUCCESS);
  visit->afterTermination = true;  // never reached
}

}  // namespace kernel_threads_test

namespace {

using host::kSecond;
using kernel_threads_test::Visit;

void Unnamed(PVOID) {}  // internal linkage: no symbol to name the thread after

class KernelThreads : public sirtest::SimTest {};

TEST_F(KernelThreads, StartAtPassiveLevelNamedAfterTheirRoutineAndNumbered) {
  Run([&] {
    Visit first;
    Visit second;
    HANDLE handles[3] = {};
    CLIENT_ID client{};
    ASSERT_EQ(PsCreateSystemThread(&handles[0], 0, nullptr, nullptr, &client,
                                   kernel_threads_test::RecordAndTerminate, &first),
              STATUS_SUCCESS);
    ASSERT_EQ(PsCreateSystemThread(&handles[1], 0, nullptr, nullptr, nullptr,
                                   kernel_threads_test::RecordAndTerminate, &second),
              STATUS_SUCCESS);
    ASSERT_EQ(PsCreateSystemThread(&handles[2], 0, nullptr, nullptr, nullptr, Unnamed, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(client.UniqueThread, handles[0]);
    sim().RunFor(0);
    EXPECT_EQ(first.context, &first);
    EXPECT_EQ(first.irql, PASSIVE_LEVEL);
    EXPECT_EQ(first.thread, "kernel_threads_test::RecordAndTerminate#1");
    EXPECT_EQ(second.thread, "kernel_threads_test::RecordAndTerminate#2");
    EXPECT_EQ(sim().scheduler().FindThread(handles[2])->name(), "SystemThread#1");
    EXPECT_FALSE(first.afterTermination);
    EXPECT_EQ(sim().scheduler().FindThread(handles[0])->state(), host::ThreadState::kParked);
    EXPECT_EQ(sim().scheduler().FindThread(handles[2])->state(), host::ThreadState::kFinished);
    for (HANDLE handle : handles) EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  });
}

TEST_F(KernelThreads, PriorityIsSetOnTheCurrentThreadAndAnswersTheOldOne) {
  kerneltest::SystemThreads threads;
  ExpectFinding(host::rule::kBadArgument);
  Run([&] {
    KPRIORITY answers[2] = {};
    threads.Start([&] {
      answers[0] = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
      answers[1] = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    });
    sim().RunFor(0);
    EXPECT_EQ(answers[0], 8);
    EXPECT_EQ(answers[1], LOW_REALTIME_PRIORITY);
    int notAThread = 0;
    EXPECT_EQ(KeSetPriorityThread(reinterpret_cast<PKTHREAD>(&notAThread), 16), 0);
    EXPECT_EQ(notAThread, 0);
  });
  ASSERT_EQ(sim().verifier().violations().size(), 1u);
  EXPECT_EQ(sim().verifier().violations()[0].call, "KeSetPriorityThread");
}

TEST_F(KernelThreads, RunEndsWhenTheTestReturnsAndAbandonsThreadsStillAlive) {
  kerneltest::SystemThreads threads;
  bool woke = false;
  host::RunResult result = Run([&] {
    threads.Start([&] {
      NdisMSleep(10'000'000);
      woke = true;
    });
    sim().RunFor(kSecond);
  });
  EXPECT_EQ(result.outcome, host::RunOutcome::kFinished);
  EXPECT_FALSE(woke);
  EXPECT_EQ(sim().Now(), kSecond);
}

// ---------------------------------------------------------------------------
// DbgPrint and IoIsWdmVersionAvailable
// ---------------------------------------------------------------------------

TEST_F(KernelThreads, DbgPrintLogsEachCallExactlyAsFormatted) {
  Run([&] {
    DbgPrint(" MiniportHalt:TIME OUT!!! pIrDevice->nowSending[%x],pIrDevice->nowReceiving[%x]\n\r",
             1, 0);
    DbgPrint("<== IndicateReceivePacket:packetsDropped!!!!!!!!\r\n");
    DbgPrint("<== IndicateReceivePacket:packetsDropped!!!!!!!!\r\n");
    std::string longText(3000, 'x');
    DbgPrint("%s", longText.c_str());
  });
  const auto& entries = sim().debugLog().entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0],
            " MiniportHalt:TIME OUT!!! pIrDevice->nowSending[1],pIrDevice->nowReceiving[0]\n\r");
  EXPECT_EQ(sim().debugLog().Count("<== IndicateReceivePacket:packetsDropped!!!!!!!!\r\n"), 2u);
  EXPECT_EQ(entries[3], std::string(1023, 'x'));  // one message is cut at 1023 characters
}

TEST_F(KernelThreads, WdmVersionQueryAnswersWhatTheTestSet) {
  struct {
    UCHAR setMajor, setMinor;  // 0, 0: as before (first the default, version 1.30)
    UCHAR major, minor;
    BOOLEAN available;
  } const cases[] = {
      {0, 0, 1, 0x10, TRUE},     {0, 0, 1, 0x30, TRUE},     {0, 0, 1, 0x31, FALSE},
      {0, 0, 2, 0x00, FALSE},    {1, 0x05, 1, 0x10, FALSE}, {1, 0x05, 1, 0x05, TRUE},
      {1, 0x00, 1, 0x05, FALSE}, {1, 0x10, 1, 0x10, TRUE},
  };
  Run([&] {
    for (const auto& c : cases) {
      if (c.setMajor != 0) sim().SetWdmVersion(c.setMajor, c.setMinor);
      EXPECT_EQ(IoIsWdmVersionAvailable(c.major, c.minor), c.available)
          << "set " << int(c.setMajor) << "." << int(c.setMinor) << ", asked " << int(c.major)
          << "." << int(c.minor);
    }
  });
}

}  // namespace
