// Work that a host object schedules in the completion context, tied to the object's
// lifetime: what the object scheduled never runs once it is destroyed. Used by the bus
// driver and the device models, which run at DISPATCH_LEVEL on the completion thread.
#pragma once

#include <functional>
#include <memory>
#include <set>

#include "host/kernel/simulation.h"

namespace host {

class TimerSet {
 public:
  explicit TimerSet(Simulation& simulation) : simulation_(simulation) {}
  ~TimerSet();
  TimerSet(const TimerSet&) = delete;
  TimerSet& operator=(const TimerSet&) = delete;

  // Runs fn at virtual time `when` (as soon as possible when it has passed).
  Simulation::TimerId At(VirtualTime when, std::function<void()> fn);
  Simulation::TimerId After(VirtualTime delay, std::function<void()> fn) {
    return At(simulation_.Now() + delay, std::move(fn));
  }
  // Drops work not yet run; false when it ran already or was dropped before.
  bool Cancel(Simulation::TimerId id);

  Simulation& simulation() { return simulation_; }

 private:
  Simulation& simulation_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::set<Simulation::TimerId> pending_;
};

}  // namespace host
