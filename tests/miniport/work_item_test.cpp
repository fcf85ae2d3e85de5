// The worker thread and its queue: order, one item at a time, the three-second poll with a
// lower device, stopping with items queued, and a failed allocation.
#include <memory>
#include <string>
#include <vector>

#include "host/kernel/scheduler.h"
#include "miniport/work_item.h"
#include "tests/support/sim_test.h"

namespace {

// What the test routines saw: "<tag>@<virtual ms>", in order.
std::vector<std::string> trace;
bool routineRunning = false;

std::string Stamp(const WorkItem* item) {
  return std::string(static_cast<const char*>(item->buffer)) + "@" +
         std::to_string(host::Simulation::Current().Now() / host::kMillisecond);
}

NTSTATUS Record(WorkItem* item) {
  EXPECT_FALSE(routineRunning) << "two work routines overlap";
  trace.push_back(Stamp(item));
  FreeWorkItem(item);
  return STATUS_SUCCESS;
}

// Runs for 100 ms of virtual time; bufferLength 1 makes it queue "late" at its end.
NTSTATUS Slow(WorkItem* item) {
  EXPECT_FALSE(routineRunning) << "two work routines overlap";
  routineRunning = true;
  trace.push_back(Stamp(item));
  NdisMSleep(100'000);
  if (item->bufferLength == 1) {
    QueueWorkItem(RestartReceiveWork, item->device, Record, const_cast<char*>("late"), 0);
  }
  routineRunning = false;
  FreeWorkItem(item);
  return STATUS_SUCCESS;
}

class WorkerThreadTest : public sirtest::SimTest {
 protected:
  void SetUp() override {
    trace.clear();
    routineRunning = false;
  }

  // A device with what the worker thread needs, its thread started.
  void Start(bool withLowerDevice) {
    device_ = std::make_unique<IrDevice>();
    InitializeListHead(&device_->workQueue);
    KeInitializeSpinLock(&device_->workLock);
    KeInitializeEvent(&device_->workEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&device_->stopEvent, SynchronizationEvent, FALSE);
    device_->lowerDevice = withLowerDevice ? &lowerDevice_ : nullptr;
    ASSERT_EQ(PsCreateSystemThread(&device_->workerThreadHandle, 0, nullptr, nullptr, nullptr,
                                   WorkerThread, device_.get()),
              STATUS_SUCCESS);
    thread_ = static_cast<host::SimThread*>(device_->workerThreadHandle);
  }

  friend struct Producer;

 public:
  void Queue(const char* tag, WorkRoutine routine = Record, ULONG length = 0) {
    ASSERT_EQ(QueueWorkItem(RestartReceiveWork, device_.get(), routine, const_cast<char*>(tag),
                            length),
              STATUS_SUCCESS);
  }

 protected:
  // Stops the thread as the halt does and waits for its last act.
  void Stop() {
    KeSetEvent(&device_->stopEvent, 0, FALSE);
    ASSERT_TRUE(sim().RunUntil([&] { return device_->workerThreadHandle == nullptr; },
                               sim().Now() + 10 * host::kSecond));
  }

  std::unique_ptr<IrDevice> device_;
  DEVICE_OBJECT lowerDevice_{};
  host::SimThread* thread_ = nullptr;
};

TEST_F(WorkerThreadTest, RunsItemsInQueueOrderAtPriority16IncludingThoseQueuedWhileRunning) {
  Run([&] {
    Start(true);
    Queue("first", Slow, 1);  // queues "late" while it runs
    Queue("second");
    sim().RunFor(host::kSecond);
    EXPECT_EQ(trace, (std::vector<std::string>{"first@0", "second@100", "late@100"}));
    EXPECT_EQ(thread_->priority, LOW_REALTIME_PRIORITY);
    Stop();
    EXPECT_EQ(thread_->state(), host::ThreadState::kParked);
  });
}

TEST_F(WorkerThreadTest, StopFreesQueuedItemsWithoutRunningThemAndReleasesTheirWaiters) {
  Run([&] {
    Start(true);
    Queue("running", Slow);
    Queue("a");
    Queue("b");
    Queue("c");
    WaitingRequest waiting{};
    KeInitializeEvent(&waiting.done, NotificationEvent, FALSE);
    waiting.status = STATUS_PENDING;
    ASSERT_EQ(QueueWorkItem(RawExchangeWork, device_.get(), Record, &waiting, sizeof waiting),
              STATUS_SUCCESS);
    sim().RunFor(10 * host::kMillisecond);  // "running" is in its sleep now
    Stop();
    EXPECT_EQ(trace, std::vector<std::string>{"running@0"});
    EXPECT_EQ(KeReadStateEvent(&waiting.done), 1) << "a caller waiting for its item is released";
    EXPECT_EQ(waiting.status, STATUS_CANCELLED);
    EXPECT_FALSE(routineRunning) << "the running item completes before the thread ends";
    EXPECT_TRUE(IsListEmpty(&device_->workQueue));
    EXPECT_EQ(sim().pool().CheckLeaks("after the worker thread stopped"), 0u);
  });
}

TEST_F(WorkerThreadTest, LooksAtTheQueueEveryThreeSecondsOnlyWithALowerDevice) {
  for (bool withLowerDevice : {true, false}) {
    SCOPED_TRACE(withLowerDevice ? "with a lower device" : "without a lower device");
    trace.clear();
    host::Simulation simulation;
    simulation.Run([&] {
      Start(withLowerDevice);
      simulation.RunFor(host::kMillisecond);
      // An item in the queue whose signal never came: only the poll finds it.
      PVOID memory = nullptr;
      ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(WorkItem), kDriverTag),
                NDIS_STATUS_SUCCESS);
      auto* item = static_cast<WorkItem*>(memory);
      *item = WorkItem{RestartReceiveWork, device_.get(), Record, const_cast<char*>("unsignalled"),
                       0, {}};
      ExfInterlockedInsertTailList(&device_->workQueue, &item->link, &device_->workLock);
      simulation.RunFor(10 * host::kSecond);
      if (withLowerDevice) {
        EXPECT_EQ(trace, std::vector<std::string>{"unsignalled@3000"});
      } else {
        EXPECT_TRUE(trace.empty());
        KeSetEvent(&device_->workEvent, 0, FALSE);
        simulation.RunFor(host::kMillisecond);
        EXPECT_EQ(trace, std::vector<std::string>{"unsignalled@10001"});
      }
      KeSetEvent(&device_->stopEvent, 0, FALSE);
      simulation.RunUntil([&] { return device_->workerThreadHandle == nullptr; });
    });
    EXPECT_TRUE(simulation.verifier().violations().empty());
  }
}

struct Producer {
  WorkerThreadTest* test;
  const char* tags[3];
};

TEST_F(WorkerThreadTest, ItemsFromTwoProducersRunOneAtATimeInEachProducersOrder) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    trace.clear();
    host::Simulation simulation(seed);
    simulation.Run([&] {
      Start(true);
      // Two producers at DISPATCH_LEVEL, as completions on two processors would be.
      Producer producers[] = {{this, {"a1", "a2", "a3"}}, {this, {"b1", "b2", "b3"}}};
      for (Producer& producer : producers) {
        HANDLE handle = nullptr;
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, [](PVOID context) {
          auto* self = static_cast<Producer*>(context);
          host::IrqlScope dispatch(DISPATCH_LEVEL);
          for (const char* tag : self->tags) self->test->Queue(tag, Slow);
        }, &producer);
      }
      simulation.RunFor(host::kSecond);
      ASSERT_EQ(trace.size(), 6u);
      std::string a, b;
      for (const std::string& entry : trace) (entry[0] == 'a' ? a : b) += entry.substr(0, 2);
      EXPECT_EQ(a, "a1a2a3");
      EXPECT_EQ(b, "b1b2b3");
      KeSetEvent(&device_->stopEvent, 0, FALSE);
      simulation.RunUntil([&] { return device_->workerThreadHandle == nullptr; });
      simulation.pool().CheckLeaks("after the worker thread stopped");
    });
    EXPECT_TRUE(simulation.verifier().violations().empty());
  }
}

TEST_F(WorkerThreadTest, AFailedAllocationQueuesNothingAndSignalsNothing) {
  Run([&] {
    Start(true);
    sim().faults().FailTag(kDriverTag);
    EXPECT_EQ(QueueWorkItem(RestartReceiveWork, device_.get(), Record, nullptr, 0),
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(IsListEmpty(&device_->workQueue));
    EXPECT_EQ(KeReadStateEvent(&device_->workEvent), 0);
    sim().faults().StopFailingTag(kDriverTag);
    Stop();
  });
}

}  // namespace
