// Simulation: the run, its clock and services, and the seed from the environment.
#include "host/kernel/simulation.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/kernel/scheduler.h"

namespace host {

namespace {
Simulation* current = nullptr;
}

std::uint64_t SeedFromEnvironment() {
  const char* text = std::getenv("SIR_SIM_SEED");
  if (text == nullptr || *text == '\0') return 0;
  // A mistyped seed must not silently run seed 0 in its place.
  char* end = nullptr;
  errno = 0;
  std::uint64_t seed = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || std::strchr(text, '-') != nullptr) {
    std::fprintf(stderr, "simulation: SIR_SIM_SEED must be an unsigned number, not '%s'\n",
                 text);
    std::exit(2);
  }
  return seed;
}

Simulation::Simulation(std::uint64_t seed)
    : seed_(seed), scheduler_(std::make_unique<Scheduler>(*this)) {}

Simulation::~Simulation() {
  // Extensions may hold kernel objects and pool; they go first, the pool last.
  extensions_.clear();
  scheduler_.reset();
}

Simulation& Simulation::Current() {
  if (current == nullptr) {
    std::fprintf(stderr, "simulation: a platform call outside Simulation::Run()\n");
    std::abort();
  }
  return *current;
}

Simulation* Simulation::CurrentOrNull() { return current; }

RunResult Simulation::Run(std::function<void()> body) {
  Simulation* outer = current;
  current = this;
  RunResult result = scheduler_->Run(std::move(body));
  current = outer;
  return result;
}

Simulation::TimerId Simulation::ScheduleAt(VirtualTime when, std::function<void()> fn) {
  return scheduler_->ScheduleAt(when, std::move(fn));
}

bool Simulation::Cancel(TimerId id) { return scheduler_->Cancel(id); }

bool Simulation::RunUntil(const std::function<bool()>& pred, VirtualTime deadline) {
  while (!pred()) {
    if (now_ >= deadline) {
      // The deadline has come: what is due at this very time (ready threads, timers of
      // this time) still runs, whatever the seed, before the last look.
      scheduler_->IdleWait(now_);
      return pred();
    }
    scheduler_->IdleWait(deadline);
  }
  return true;
}

void Simulation::RunFor(VirtualTime span) {
  VirtualTime deadline = AddSaturating(now_, span);
  RunUntil([] { return false; }, deadline);
}

std::string CurrentThreadName() {
  Simulation* simulation = Simulation::CurrentOrNull();
  if (simulation == nullptr || simulation->scheduler().current() == nullptr) {
    return "(outside the simulation)";
  }
  return simulation->scheduler().current()->name();
}

}  // namespace host
