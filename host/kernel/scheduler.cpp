// Fibers, the ready queue, the virtual clock and the completion thread.
#include "host/kernel/scheduler.h"

#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

#if defined(__SANITIZE_ADDRESS__)
#define SIR_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIR_ASAN_FIBERS 1
#endif
#endif

#if defined(SIR_ASAN_FIBERS)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

// On x86-64 a switch saves and restores only what the calling convention preserves; the
// C library's swapcontext also saves the signal mask, a system call on every handover.
// The sanitizer build keeps swapcontext, whose stack switches it knows.
#if defined(__x86_64__) && !defined(SIR_ASAN_FIBERS)
#define SIR_FAST_SWITCH 1
extern "C" void SirSwitchStacks(void** saveStack, void* loadStack);
extern "C" void SirFiberTrampoline();
asm(R"(
  .text
  .globl SirSwitchStacks
  .type SirSwitchStacks, @function
SirSwitchStacks:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $16, %rsp
  stmxcsr 8(%rsp)
  fnstcw (%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  fldcw (%rsp)
  ldmxcsr 8(%rsp)
  addq $16, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size SirSwitchStacks, .-SirSwitchStacks

  .globl SirFiberTrampoline
  .type SirFiberTrampoline, @function
SirFiberTrampoline:
  movq %rbx, %rdi
  call SirFiberStart
  ud2
  .size SirFiberTrampoline, .-SirFiberTrampoline
)");
#endif

namespace host {

namespace {

#if defined(SIR_ASAN_FIBERS)
constexpr std::size_t kStackSize = 2 * 1024 * 1024;
#else
constexpr std::size_t kStackSize = 512 * 1024;
#endif
constexpr std::size_t kGuardSize = 4096;

// Stack bounds and the sanitizer's fake-stack handle of one execution context.
struct StackBounds {
  const void* bottom = nullptr;
  std::size_t size = 0;
};

}  // namespace

struct SimThread::Context {
  ucontext_t context;
  void* stackPointer = nullptr;  // saved by SirSwitchStacks
  StackBounds bounds;
  void* fakeStack = nullptr;
};

struct Scheduler::SchedulerContext {
  ucontext_t context;
  void* stackPointer = nullptr;
  StackBounds bounds;
  void* fakeStack = nullptr;
};

namespace {

// Switches from one context to another, telling the address sanitizer about the change
// of stacks. `finishing` says the source context never runs again.
template <class From, class To>
void SwapContexts(From& from, To& to, bool finishing) {
#if defined(SIR_ASAN_FIBERS)
  __sanitizer_start_switch_fiber(finishing ? nullptr : &from.fakeStack, to.bounds.bottom,
                                 to.bounds.size);
#else
  (void)finishing;
#endif
#if defined(SIR_FAST_SWITCH)
  SirSwitchStacks(&from.stackPointer, to.stackPointer);
#else
  swapcontext(&from.context, &to.context);
#endif
#if defined(SIR_ASAN_FIBERS)
  const void* oldBottom = nullptr;
  std::size_t oldSize = 0;
  __sanitizer_finish_switch_fiber(from.fakeStack, &oldBottom, &oldSize);
#endif
}

}  // namespace

SimThread::SimThread(int id, std::string name, std::function<void()> body, KIRQL startIrql)
    : irql(startIrql), id_(id), name_(std::move(name)), body_(std::move(body)),
      context_(std::make_unique<Context>()) {
  stackSize_ = kStackSize;
  stack_ = mmap(nullptr, stackSize_ + kGuardSize, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (stack_ == MAP_FAILED) {
    std::fprintf(stderr, "simulation: no memory for a thread stack\n");
    std::abort();
  }
  mprotect(stack_, kGuardSize, PROT_NONE);  // the stack grows down into the guard page
#if defined(SIR_FAST_SWITCH)
  // The first switch to the thread pops what SirSwitchStacks would have saved: the x87
  // control word and MXCSR at their defaults, six registers (rbx carries the thread) and
  // the trampoline as the return address, leaving the stack 16-byte aligned for its call.
  auto* top = reinterpret_cast<std::uint64_t*>(static_cast<char*>(stack_) + kGuardSize +
                                               stackSize_);
  std::uint64_t* frame = top - 9;
  frame[0] = 0x037F;                                            // x87 control word
  frame[1] = 0x1F80;                                            // MXCSR
  frame[2] = frame[3] = frame[4] = frame[5] = 0;                // r15, r14, r13, r12
  frame[6] = reinterpret_cast<std::uint64_t>(this);              // rbx
  frame[7] = 0;                                                 // rbp
  frame[8] = reinterpret_cast<std::uint64_t>(&SirFiberTrampoline);
  context_->stackPointer = frame;
  context_->bounds = {static_cast<char*>(stack_) + kGuardSize, stackSize_};
#else
  getcontext(&context_->context);
  context_->context.uc_stack.ss_sp = static_cast<char*>(stack_) + kGuardSize;
  context_->context.uc_stack.ss_size = stackSize_;
  context_->context.uc_link = nullptr;
  context_->bounds = {context_->context.uc_stack.ss_sp, stackSize_};
  auto address = reinterpret_cast<std::uintptr_t>(this);
  makecontext(&context_->context, reinterpret_cast<void (*)()>(&SimThread::Entry), 2,
              static_cast<unsigned>(address & 0xFFFFFFFFu), static_cast<unsigned>(address >> 32));
#endif
}

struct FiberStart {
  static void Run(SimThread* thread) {
    auto address = reinterpret_cast<std::uintptr_t>(thread);
    SimThread::Entry(static_cast<unsigned>(address & 0xFFFFFFFFu),
                     static_cast<unsigned>(address >> 32));
  }
};

}  // namespace host

extern "C" [[noreturn]] void SirFiberStart(host::SimThread* thread) {
  host::FiberStart::Run(thread);
  std::abort();
}

namespace host {

SimThread::~SimThread() {
#if defined(SIR_ASAN_FIBERS)
  // A thread abandoned inside a call leaves its frames' red zones poisoned; clear them, or
  // the next mapping at this address would inherit them.
  __asan_unpoison_memory_region(static_cast<char*>(stack_) + kGuardSize, stackSize_);
#endif
  munmap(stack_, stackSize_ + kGuardSize);
}

SimThread& CurrentThread() {
  SimThread* thread = Simulation::Current().scheduler().current();
  if (thread == nullptr) {
    std::fprintf(stderr, "simulation: a platform call outside a simulated thread\n");
    std::abort();
  }
  return *thread;
}

void SimThread::Entry(unsigned low, unsigned high) {
  auto* self = reinterpret_cast<SimThread*>(static_cast<std::uintptr_t>(low) |
                                            (static_cast<std::uintptr_t>(high) << 32));
  Scheduler& scheduler = Simulation::Current().scheduler();
#if defined(SIR_ASAN_FIBERS)
  __sanitizer_finish_switch_fiber(nullptr, &scheduler.schedulerContext_->bounds.bottom,
                                  &scheduler.schedulerContext_->bounds.size);
#endif
  try {
    self->body_();
  } catch (const std::exception& error) {
    Simulation::Current().verifier().Report(rule::kThreadException, "thread body",
                                            error.what());
  } catch (...) {
    Simulation::Current().verifier().Report(rule::kThreadException, "thread body",
                                            "an exception of unknown type");
  }
  scheduler.CheckNoLocksHeld("thread exit");
  self->state_ = ThreadState::kFinished;
  SwapContexts(*self->context_, *scheduler.schedulerContext_, /*finishing=*/true);
  std::abort();  // a finished thread is never resumed
}

Scheduler::Scheduler(Simulation& simulation)
    : simulation_(simulation), random_(simulation.seed()),
      schedulerContext_(std::make_unique<SchedulerContext>()) {}

Scheduler::~Scheduler() = default;

SimThread* Scheduler::CreateThread(std::string name, std::function<void()> body, KIRQL irql) {
  threads_.push_back(
      std::make_unique<SimThread>(nextThreadId_++, std::move(name), std::move(body), irql));
  SimThread* thread = threads_.back().get();
  ready_.push_back(thread);
  return thread;
}

RunResult Scheduler::Run(std::function<void()> body) {
  if (ran_) {
    std::fprintf(stderr, "simulation: Run() may be called once\n");
    std::abort();
  }
  ran_ = true;
  test_ = CreateThread("test", std::move(body));
  completion_ = CreateThread("completion", [this] { CompletionLoop(); }, DISPATCH_LEVEL);

  RunResult result;
  while (test_->state_ != ThreadState::kFinished && test_->state_ != ThreadState::kParked) {
    SimThread* next = PickNext();
    if (next == nullptr) {
      result.outcome = RunOutcome::kDeadlock;
      if (timeLimitReached_) {
        result.deadlockReport = "no progress within the virtual time limit of " +
                                std::to_string(simulation_.timeLimit() / kSecond) +
                                " s (the threads only wait and time out), ";
      }
      result.deadlockReport += DescribeThreads();
      break;
    }
    SwitchTo(next);
  }
  running_ = nullptr;
  return result;
}

void Scheduler::SwitchTo(SimThread* thread) {
  ++handovers_;
  ++epoch_;
  running_ = thread;
  thread->state_ = ThreadState::kRunning;
  SwapContexts(*schedulerContext_, *thread->context_, /*finishing=*/false);
  running_ = nullptr;
}

void Scheduler::ReturnToScheduler() {
  SwapContexts(*running_->context_, *schedulerContext_, /*finishing=*/false);
}

SimThread* Scheduler::PickNext() {
  for (;;) {
    if (!ready_.empty()) {
      std::size_t index = 0;
      if (simulation_.seed() != 0) index = random_() % ready_.size();
      SimThread* next = ready_[index];
      ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(index));
      return next;
    }
    // Nothing can run now: first let an idle test thread look at what happened, then move
    // the clock to the next deadline.
    bool woke = false;
    for (auto& thread : threads_) {
      if (thread->state_ == ThreadState::kBlocked && thread->waitKind == WaitKind::kIdle &&
          thread->idleEpoch != epoch_) {
        MakeReady(thread.get());
        woke = true;
      }
    }
    if (woke) continue;
    if (!AdvanceClock()) return nullptr;
  }
}

bool Scheduler::AdvanceClock() {
  VirtualTime next = kForever;
  if (!timers_.empty()) next = timers_.begin()->first.when;
  for (auto& thread : threads_) {
    if (thread->state_ == ThreadState::kBlocked) next = std::min(next, thread->deadline);
  }
  if (next == kForever) return false;
  if (next > simulation_.timeLimit()) {
    timeLimitReached_ = true;
    return false;
  }
  simulation_.now_ = std::max(simulation_.now_, next);
  ++epoch_;
  while (!timers_.empty() && timers_.begin()->first.when <= simulation_.now_) {
    auto node = timers_.extract(timers_.begin());
    timerKeys_.erase(node.key().sequence);
    PostCompletion(node.key().sequence, std::move(node.mapped()));
  }
  for (auto& thread : threads_) {
    if (thread->state_ == ThreadState::kBlocked && thread->deadline <= simulation_.now_) {
      TimeOut(thread.get());
    }
  }
  return true;
}

void Scheduler::TimeOut(SimThread* thread) {
  if (thread->waitKind == WaitKind::kObjects) {
    for (ULONG i = 0; i < thread->waitCount; ++i) RemoveEntryList(&thread->waitBlocks[i].link);
    thread->waitStatus = STATUS_TIMEOUT;
  } else {
    thread->waitStatus = STATUS_SUCCESS;
  }
  MakeReady(thread);
}

void Scheduler::MakeReady(SimThread* thread) {
  if (thread->state_ != ThreadState::kBlocked) return;
  thread->state_ = ThreadState::kReady;
  thread->waitKind = WaitKind::kNone;
  thread->deadline = kForever;
  ready_.push_back(thread);
}

void Scheduler::Block(WaitKind kind, const char* call, VirtualTime deadline) {
  SimThread* self = running_;
  self->state_ = ThreadState::kBlocked;
  self->waitKind = kind;
  self->waitCall = call;
  self->deadline = deadline;
  ReturnToScheduler();
}

void Scheduler::SchedulingPoint() {
  if (simulation_.seed() == 0 || running_ == nullptr) return;
  if (random_() % 4 != 0) return;
  Yield();
}

void Scheduler::Yield() {
  SimThread* self = running_;
  self->state_ = ThreadState::kReady;
  ready_.push_back(self);
  ReturnToScheduler();
}

void Scheduler::Park() {
  SimThread* self = running_;
  CheckNoLocksHeld("PsTerminateSystemThread");
  self->state_ = ThreadState::kParked;
  SwapContexts(*self->context_, *schedulerContext_, /*finishing=*/true);
  std::abort();  // a parked thread is never resumed
}

void Scheduler::CheckNoLocksHeld(const char* where) {
  SimThread* self = running_;
  if (self->heldLocks.empty()) return;
  char lock[32];
  std::snprintf(lock, sizeof lock, "%p", static_cast<void*>(self->heldLocks.back()));
  simulation_.verifier().Report(rule::kLockHeldOnReturn, where,
                                std::to_string(self->heldLocks.size()) +
                                    " spin lock(s) still held, the last taken " + lock);
}

void Scheduler::IdleWait(VirtualTime deadline) {
  running_->idleEpoch = epoch_;
  Block(WaitKind::kIdle, "RunUntil", deadline);
}

Simulation::TimerId Scheduler::ScheduleAt(VirtualTime when, std::function<void()> fn) {
  TimerKey key{when, ++timerSequence_};
  if (when <= simulation_.now_) {
    PostCompletion(key.sequence, std::move(fn));
    return key.sequence;
  }
  timers_.emplace(key, std::move(fn));
  timerKeys_.emplace(key.sequence, key);
  return key.sequence;
}

bool Scheduler::Cancel(Simulation::TimerId id) {
  if (id == 0) return false;
  if (auto found = timerKeys_.find(id); found != timerKeys_.end()) {
    timers_.erase(found->second);
    timerKeys_.erase(found);
    return true;
  }
  // Due already, but not yet started on the completion thread.
  auto queued = std::find_if(completionWork_.begin(), completionWork_.end(),
                             [id](const CompletionItem& item) { return item.id == id; });
  if (queued == completionWork_.end()) return false;
  completionWork_.erase(queued);
  return true;
}

void Scheduler::PostCompletion(Simulation::TimerId id, std::function<void()> fn) {
  completionWork_.push_back(CompletionItem{id, std::move(fn)});
  if (completion_ != nullptr && completion_->state_ == ThreadState::kBlocked &&
      completion_->waitKind == WaitKind::kCompletionWork) {
    MakeReady(completion_);
  }
}

void Scheduler::CompletionLoop() {
  for (;;) {
    if (completionWork_.empty()) {
      Block(WaitKind::kCompletionWork, "completion queue");
      continue;
    }
    std::function<void()> work = std::move(completionWork_.front().fn);
    completionWork_.pop_front();
    running_->irql = DISPATCH_LEVEL;
    // One failing item must not end the completion context for every later one.
    try {
      work();
    } catch (const std::exception& error) {
      simulation_.verifier().Report(rule::kThreadException, "completion work", error.what());
    } catch (...) {
      simulation_.verifier().Report(rule::kThreadException, "completion work",
                                    "an exception of unknown type");
    }
    CheckNoLocksHeld("completion work");
  }
}

void Scheduler::WakeSpinner(KSPIN_LOCK* lock) {
  SimThread* first = nullptr;
  for (auto& thread : threads_) {
    if (thread->state_ == ThreadState::kBlocked && thread->waitKind == WaitKind::kSpinLock &&
        thread->spinningOn == lock &&
        (first == nullptr || thread->spinTicket < first->spinTicket)) {
      first = thread.get();
    }
  }
  if (first != nullptr) MakeReady(first);
}

SimThread* Scheduler::FindThread(const void* address) const {
  for (auto& thread : threads_) {
    if (thread.get() == address) return thread.get();
  }
  return nullptr;
}

const SimThread* Scheduler::WaiterInRange(const void* begin, std::size_t size) const {
  auto low = reinterpret_cast<std::uintptr_t>(begin);
  for (auto& thread : threads_) {
    if (thread->state_ != ThreadState::kBlocked || thread->waitKind != WaitKind::kObjects) {
      continue;
    }
    for (ULONG i = 0; i < thread->waitCount; ++i) {
      auto object = reinterpret_cast<std::uintptr_t>(thread->waitBlocks[i].object);
      if (object >= low && object < low + size) return thread.get();
    }
  }
  return nullptr;
}

std::string Scheduler::DescribeThreads() const {
  std::ostringstream out;
  out << "at virtual time " << simulation_.Now() << " (100 ns units), seed "
      << simulation_.seed() << ":\n";
  for (auto& thread : threads_) {
    out << "  " << thread->name_ << " [IRQL " << int(thread->irql) << "]: ";
    switch (thread->state_) {
      case ThreadState::kReady: out << "ready"; break;
      case ThreadState::kRunning: out << "running"; break;
      case ThreadState::kFinished: out << "finished"; break;
      case ThreadState::kParked: out << "terminated"; break;
      case ThreadState::kBlocked:
        switch (thread->waitKind) {
          case WaitKind::kObjects:
            out << "waiting in " << thread->waitCall << " for "
                << (thread->waitType == WaitAll ? "all of" : "any of");
            for (ULONG i = 0; i < thread->waitCount; ++i) {
              out << ' ' << static_cast<const void*>(thread->waitBlocks[i].object);
            }
            break;
          case WaitKind::kSpinLock: {
            out << "spinning on lock " << static_cast<const void*>(thread->spinningOn);
            const SimThread* owner =
                FindThread(reinterpret_cast<const void*>(*thread->spinningOn));
            if (owner != nullptr) out << " held by " << owner->name_;
            break;
          }
          case WaitKind::kSleep: out << "sleeping in " << thread->waitCall; break;
          case WaitKind::kIdle: out << "waiting for the simulation (RunUntil)"; break;
          case WaitKind::kCompletionWork: out << "idle, no completion work"; break;
          case WaitKind::kNone: out << "blocked"; break;
        }
        if (thread->deadline != kForever) out << " until " << thread->deadline;
        break;
    }
    out << '\n';
  }
  return out.str();
}

IrqlScope::IrqlScope(KIRQL irql) : saved_(CurrentThread().irql) { CurrentThread().irql = irql; }
IrqlScope::~IrqlScope() { CurrentThread().irql = saved_; }

}  // namespace host
