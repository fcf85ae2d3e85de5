// The scheduler behind Simulation: simulated threads on fibers, the ready queue, blocking
// and waking, the timer queue and the completion thread. Kernel objects (events, locks,
// sleeps) are built on Block() and MakeReady(); other host parts use IrqlScope and the
// current thread's IRQL. Runs entirely on the real thread that called Simulation::Run().
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/kernel/simulation.h"
#include "platform/kernel.h"

namespace host {

enum class ThreadState { kReady, kRunning, kBlocked, kFinished, kParked };

// What a blocked thread waits for, for waking and for deadlock reports.
enum class WaitKind { kNone, kObjects, kSleep, kSpinLock, kIdle, kCompletionWork };

constexpr ULONG kMaximumWaitObjects = 64;

// Links a waiting thread into an event's wait list.
struct WaitBlock {
  LIST_ENTRY link;
  SimThread* thread;
  DISPATCHER_HEADER* object;
  ULONG index;
};

class SimThread {
 public:
  SimThread(int id, std::string name, std::function<void()> body, KIRQL irql);
  ~SimThread();

  int id() const { return id_; }
  const std::string& name() const { return name_; }
  ThreadState state() const { return state_; }

  KIRQL irql = PASSIVE_LEVEL;
  KPRIORITY priority = 8;
  bool handleOpen = true;

  // Wait state, valid while blocked.
  WaitKind waitKind = WaitKind::kNone;
  const char* waitCall = "";
  VirtualTime deadline = kForever;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  WAIT_TYPE waitType = WaitAny;
  ULONG waitCount = 0;
  WaitBlock waitBlocks[kMaximumWaitObjects] = {};
  KSPIN_LOCK* spinningOn = nullptr;
  std::uint64_t spinTicket = 0;
  std::uint64_t idleEpoch = 0;

  std::vector<KSPIN_LOCK*> heldLocks;
  // The IRQL before each lock in heldLocks was taken, in the same order; the release must
  // return to it.
  std::vector<KIRQL> irqlsBeforeLocks;

 private:
  friend class Scheduler;
  friend struct FiberStart;
  static void Entry(unsigned low, unsigned high);

  int id_;
  std::string name_;
  std::function<void()> body_;
  ThreadState state_ = ThreadState::kReady;
  void* stack_ = nullptr;
  std::size_t stackSize_ = 0;
  struct Context;
  std::unique_ptr<Context> context_;
};

class Scheduler {
 public:
  explicit Scheduler(Simulation& simulation);
  ~Scheduler();

  RunResult Run(std::function<void()> body);

  SimThread* current() const { return running_; }
  SimThread* CreateThread(std::string name, std::function<void()> body,
                          KIRQL irql = PASSIVE_LEVEL);

  // A place where another thread may take over, as the seed decides (never with seed 0).
  void SchedulingPoint();
  // Puts the running thread at the back of the ready queue and lets the others run.
  void Yield();
  // Blocks the running thread until MakeReady (or its deadline, for waits that have one).
  void Block(WaitKind kind, const char* call, VirtualTime deadline = kForever);
  void MakeReady(SimThread* thread);
  // Ends the running thread for good; it is reclaimed when the run ends.
  [[noreturn]] void Park();

  // Timers and the completion context.
  Simulation::TimerId ScheduleAt(VirtualTime when, std::function<void()> fn);
  bool Cancel(Simulation::TimerId id);
  // Runs fn on the completion thread as soon as it gets its turn (DPCs and completions
  // that are due now).
  void PostCompletion(std::function<void()> fn) { PostCompletion(0, std::move(fn)); }
  bool IsCompletionThread() const { return running_ == completion_; }
  // Threads made by PsCreateSystemThread, as opposed to the test and completion threads.
  bool IsSystemThread(const SimThread* thread) const {
    return thread != test_ && thread != completion_;
  }

  // Wakes a thread that spins on the lock, if any (first come, first served).
  void WakeSpinner(KSPIN_LOCK* lock);
  std::uint64_t NextSpinTicket() { return ++spinTickets_; }

  // For RunUntil: blocks the test thread until something happened or the clock moved.
  void IdleWait(VirtualTime deadline);

  // Any blocked thread waiting on an object inside [begin, begin + size)?
  const SimThread* WaiterInRange(const void* begin, std::size_t size) const;
  const std::vector<std::unique_ptr<SimThread>>& threads() const { return threads_; }
  // The thread at this address (a thread handle, a KTHREAD, a lock's owner), or null.
  SimThread* FindThread(const void* address) const;
  std::string DescribeThreads() const;

  std::uint64_t handovers() const { return handovers_; }

 private:
  friend class SimThread;
  SimThread* PickNext();
  bool AdvanceClock();
  void SwitchTo(SimThread* thread);
  void ReturnToScheduler();
  void CompletionLoop();
  void TimeOut(SimThread* thread);
  // Queues work for the completion thread; a non-zero id lets Cancel withdraw it until it
  // starts.
  void PostCompletion(Simulation::TimerId id, std::function<void()> fn);
  // Reports locks the running thread still holds where it must hold none.
  void CheckNoLocksHeld(const char* where);

  Simulation& simulation_;
  std::mt19937_64 random_;
  std::vector<std::unique_ptr<SimThread>> threads_;
  std::deque<SimThread*> ready_;
  SimThread* running_ = nullptr;
  SimThread* test_ = nullptr;
  SimThread* completion_ = nullptr;
  struct CompletionItem {
    Simulation::TimerId id;
    std::function<void()> fn;
  };
  std::deque<CompletionItem> completionWork_;
  struct TimerKey {
    VirtualTime when;
    std::uint64_t sequence;
    bool operator<(const TimerKey& other) const {
      return when != other.when ? when < other.when : sequence < other.sequence;
    }
  };
  std::map<TimerKey, std::function<void()>> timers_;
  std::unordered_map<Simulation::TimerId, TimerKey> timerKeys_;
  std::uint64_t timerSequence_ = 0;
  std::uint64_t epoch_ = 0;
  std::uint64_t spinTickets_ = 0;
  std::uint64_t handovers_ = 0;
  int nextThreadId_ = 0;
  bool ran_ = false;
  bool timeLimitReached_ = false;
  struct SchedulerContext;
  std::unique_ptr<SchedulerContext> schedulerContext_;
};

// DPCs queued and not yet run, so that a free of memory holding one is caught.
struct QueuedDpcs {
  std::set<const KDPC*> queued;
};

// The running simulated thread; aborts outside a run.
SimThread& CurrentThread();

// Raises (or sets) the running thread's IRQL for a scope, as NDIS does around handlers it
// may call at DISPATCH_LEVEL.
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL irql);
  ~IrqlScope();
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  KIRQL saved_;
};

}  // namespace host
