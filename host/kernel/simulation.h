// The deterministic simulation that every platform call runs in: simulated threads on
// fibers (one runs at a time), a seeded scheduler, a virtual clock in 100 ns units, the
// completion context (bus completions, timers, DPCs at DISPATCH_LEVEL), and the per-run
// services (verifier, pool, fault injection, debugger log).
//
// A test builds a Simulation and calls Run() with its body; the body is the first
// simulated thread. Control changes hands only inside platform calls. With seed 0 a
// thread runs until it blocks and ready threads take turns first in, first out; any other
// seed also switches at scheduling points and picks among ready threads as the seed says.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "host/kernel/debug_log.h"
#include "host/kernel/faults.h"
#include "host/kernel/pool.h"
#include "host/kernel/verifier.h"
#include "platform/kernel.h"

namespace host {

// Virtual time, in units of 100 ns since the simulation began.
using VirtualTime = std::int64_t;
constexpr VirtualTime kMicrosecond = 10;
constexpr VirtualTime kMillisecond = 10'000;
constexpr VirtualTime kSecond = 10'000'000;
constexpr VirtualTime kForever = INT64_MAX;
constexpr VirtualTime kHour = 3600 * kSecond;

// `when` plus `span`, held at the ends of the range instead of overflowing.
constexpr VirtualTime AddSaturating(VirtualTime when, VirtualTime span) {
  if (span > 0 && when > kForever - span) return kForever;
  if (span < 0 && when < INT64_MIN - span) return INT64_MIN;
  return when + span;
}

class SimThread;
class Scheduler;

enum class RunOutcome { kFinished, kDeadlock };

// A deadlock is a run in which no thread can run and nothing is pending, or in which the
// threads only keep waiting and timing out until the virtual time limit.
struct RunResult {
  RunOutcome outcome = RunOutcome::kFinished;
  std::string deadlockReport;  // every thread and what it waits for, on a deadlock
};

// Reads the seed for a whole test run from SIR_SIM_SEED (0 when unset).
std::uint64_t SeedFromEnvironment();

class Simulation {
 public:
  explicit Simulation(std::uint64_t seed = SeedFromEnvironment());
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // The simulation whose Run() is in progress on this real thread. Platform calls made
  // outside a run are a programming error and abort with a message.
  static Simulation& Current();
  static Simulation* CurrentOrNull();

  // Runs body as the first simulated thread (named "test", at PASSIVE_LEVEL) and returns
  // when it returns or when every thread is blocked with nothing pending. Threads still
  // alive then are abandoned and their stacks reclaimed without unwinding them, so
  // objects on their stacks are not destroyed. Runs once per Simulation.
  RunResult Run(std::function<void()> body);

  std::uint64_t seed() const { return seed_; }
  VirtualTime Now() const { return now_; }

  // Completion context: fn runs at DISPATCH_LEVEL on the completion thread at virtual time
  // `when` (at once when `when` has passed). Items due at the same time run in the order
  // they were scheduled. Device models use this to complete requests later.
  using TimerId = std::uint64_t;
  TimerId ScheduleAt(VirtualTime when, std::function<void()> fn);
  TimerId ScheduleAfter(VirtualTime delay, std::function<void()> fn) {
    return ScheduleAt(AddSaturating(now_, delay), std::move(fn));
  }
  // Withdraws an item that has not started yet; false when it already started or ran, or
  // was cancelled.
  bool Cancel(TimerId id);

  // For the test thread: lets the simulation run until pred() holds (true) or virtual
  // time reaches deadline (false). pred is checked whenever the other threads have
  // nothing left to do at the present time, and after each step of the clock; at the
  // deadline, the work due then runs before pred is checked for the last time.
  bool RunUntil(const std::function<bool()>& pred, VirtualTime deadline = kForever);
  // Lets the simulation run for a span of virtual time.
  void RunFor(VirtualTime span);

  // The clock never moves past this time: a run whose threads would need it to (say a
  // test waiting for ever while a worker polls with a time-out) ends as a deadlock with a
  // report, instead of spinning through virtual years. One day unless set.
  void SetTimeLimit(VirtualTime limit) { timeLimit_ = limit; }
  VirtualTime timeLimit() const { return timeLimit_; }

  // Per-run services.
  Verifier& verifier() { return verifier_; }
  Pool& pool() { return pool_; }
  FaultInjector& faults() { return faults_; }
  DebugLog& debugLog() { return debugLog_; }

  // The answer IoIsWdmVersionAvailable gives: versions up to this one are available.
  void SetWdmVersion(UCHAR major, UCHAR minor) { wdmVersion_ = (major << 8) | minor; }
  bool IsWdmVersionAvailable(UCHAR major, UCHAR minor) const {
    return ((major << 8) | minor) <= wdmVersion_;
  }

  // State that other host parts (NDIS, USB, devices) keep per run, made on first use and
  // destroyed with the simulation.
  template <class T>
  T& Extension() {
    auto& slot = extensions_[std::type_index(typeid(T))];
    if (!slot) slot = std::make_unique<Holder<T>>();
    return static_cast<Holder<T>*>(slot.get())->value;
  }

  Scheduler& scheduler() { return *scheduler_; }

 private:
  struct HolderBase {
    virtual ~HolderBase() = default;
  };
  template <class T>
  struct Holder : HolderBase {
    T value;
  };

  friend class Scheduler;
  std::uint64_t seed_;
  VirtualTime now_ = 0;
  VirtualTime timeLimit_ = 24 * kHour;
  int wdmVersion_ = 0x0130;
  Verifier verifier_;
  Pool pool_;
  FaultInjector faults_;
  DebugLog debugLog_;
  std::unique_ptr<Scheduler> scheduler_;
  std::unordered_map<std::type_index, std::unique_ptr<HolderBase>> extensions_;
};

// Name of the running simulated thread ("test", "completion", "WorkerThread#1", ...), for
// verifier reports.
std::string CurrentThreadName();

}  // namespace host
