// The verifier's findings: each misuse of a platform call is recorded with the rule it
// broke, the simulated thread, the call and the state, and handed to the run's handler
// (the test support turns each into a test failure).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Rule names, grouped by the part of the host that checks them.
namespace rule {
inline constexpr std::string_view kSleepAbovePassive = "irql.sleep_above_passive";
inline constexpr std::string_view kWaitAbovePassive = "irql.wait_above_passive";
inline constexpr std::string_view kLockNotHeld = "lock.release_not_held";
inline constexpr std::string_view kLockRecursive = "lock.acquire_held_by_self";
inline constexpr std::string_view kTwoLocks = "lock.two_driver_locks";
inline constexpr std::string_view kLockIrql = "lock.release_irql";
inline constexpr std::string_view kLockHeldOnReturn = "lock.held_on_return";
inline constexpr std::string_view kPoolLength = "pool.free_length_mismatch";
inline constexpr std::string_view kPoolDoubleFree = "pool.double_free";
inline constexpr std::string_view kPoolUnknownFree = "pool.free_unknown";
inline constexpr std::string_view kPoolWrongCall = "pool.free_wrong_call";
inline constexpr std::string_view kPoolLeak = "pool.leak";
inline constexpr std::string_view kPoolFreeWithWaiter = "pool.free_object_with_waiter";
inline constexpr std::string_view kPoolFreeQueuedDpc = "pool.free_queued_dpc";
inline constexpr std::string_view kBadArgument = "call.bad_argument";
inline constexpr std::string_view kThreadException = "thread.uncaught_exception";
inline constexpr std::string_view kNotSystemThread = "thread.not_a_system_thread";
}  // namespace rule

// A pointer as reports print it ("0x55d0c0a1b2c0").
std::string DescribeAddress(const void* pointer);

struct Violation {
  std::string rule;
  std::string thread;
  std::string call;
  std::string detail;

  std::string Describe() const;
};

class Verifier {
 public:
  using Handler = std::function<void(const Violation&)>;

  // Records a finding on the running simulated thread and passes it to the handler.
  void Report(std::string_view rule, std::string_view call, std::string detail);

  const std::vector<Violation>& violations() const { return violations_; }
  std::size_t Count(std::string_view rule) const;
  void Clear() { violations_.clear(); }
  void SetHandler(Handler handler) { handler_ = std::move(handler); }

 private:
  std::vector<Violation> violations_;
  Handler handler_;
};

}  // namespace host
