// Scheduling tied to an object's lifetime.
#include "host/usb/timer_set.h"

namespace host {

TimerSet::~TimerSet() {
  *alive_ = false;
  for (Simulation::TimerId id : pending_) simulation_.Cancel(id);
}

Simulation::TimerId TimerSet::At(VirtualTime when, std::function<void()> fn) {
  auto id = std::make_shared<Simulation::TimerId>(0);
  std::weak_ptr<bool> alive = alive_;
  Simulation::TimerId scheduled =
      simulation_.ScheduleAt(when, [this, alive, id, fn = std::move(fn)] {
        auto token = alive.lock();
        if (!token || !*token) return;
        pending_.erase(*id);
        fn();
      });
  if (scheduled == 0) return 0;  // posted at once: it cannot be cancelled
  *id = scheduled;
  pending_.insert(scheduled);
  return scheduled;
}

bool TimerSet::Cancel(Simulation::TimerId id) {
  if (pending_.erase(id) == 0) return false;
  return simulation_.Cancel(id);
}

}  // namespace host
