// Allocation fault injection: every allocation the driver can see fail (pool, NDIS memory,
// packets, buffers, pools, IRPs, URBs) asks here first and counts as one allocation.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <set>

namespace host {

class FaultInjector {
 public:
  // Fails the allocation with this number (the first allocation of the run is 1).
  void FailNth(std::uint64_t n) { failNth_.insert(n); }
  // Fails every tagged allocation with this pool tag.
  void FailTag(std::uint32_t tag) { failTags_.insert(tag); }
  void StopFailingTag(std::uint32_t tag) { failTags_.erase(tag); }
  // Fails each allocation with this probability, drawn from its own seeded generator.
  void FailRandomly(double rate, std::uint64_t seed) {
    randomRate_ = rate;
    random_.seed(seed);
  }
  void Reset() { *this = FaultInjector(); }

  // Counts one allocation and answers whether it must fail. Untagged allocations pass
  // no tag.
  bool ShouldFail(std::optional<std::uint32_t> tag = std::nullopt);

  std::uint64_t allocations() const { return count_; }

  // While one lives, allocations neither count nor fail: the host's own stand-ins (the
  // protocol's send packets) allocate through the same calls as the driver.
  class Suspension {
   public:
    explicit Suspension(FaultInjector& faults) : faults_(faults) { ++faults_.suspended_; }
    ~Suspension() { --faults_.suspended_; }
    Suspension(const Suspension&) = delete;
    Suspension& operator=(const Suspension&) = delete;

   private:
    FaultInjector& faults_;
  };
  std::uint64_t injected() const { return injected_; }

 private:
  int suspended_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t injected_ = 0;
  std::set<std::uint64_t> failNth_;
  std::set<std::uint32_t> failTags_;
  double randomRate_ = 0.0;
  std::mt19937_64 random_;
};

}  // namespace host
