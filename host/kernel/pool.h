// Pool bookkeeping: every allocation made through ExAllocatePoolWithTag or
// NdisAllocateMemoryWithTag, with its tag, size and caller, so that the verifier can
// check each free and report what is still live at a checkpoint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

namespace host {

enum class PoolKind { kExecutive, kNdis };

struct PoolAllocation {
  std::size_t size = 0;
  std::uint32_t tag = 0;
  PoolKind kind = PoolKind::kExecutive;
  const void* returnAddress = nullptr;  // in the function that made the call
  const char* call = "";                // the platform call that made it
};

class Pool {
 public:
  ~Pool();

  // Null when fault injection fails it. Fresh memory is filled with 0xCD, so code that
  // relies on zeroed pool shows it; freed memory is filled with 0xDD before release.
  void* Allocate(PoolKind kind, std::size_t size, std::uint32_t tag, std::size_t alignment,
                 const void* returnAddress, const char* call);
  // Checks the free against the allocation. A free of memory that is not live is reported
  // and not performed; one with the wrong call or length is reported and performed.
  void Free(PoolKind kind, void* pointer, std::size_t length, const char* call);

  const PoolAllocation* Find(const void* pointer) const;
  std::size_t LiveCount() const { return live_.size(); }
  std::size_t LiveCount(std::uint32_t tag) const;
  // Reports every live allocation as a leak (by tag, size and caller); returns how many.
  std::size_t CheckLeaks(const char* checkpoint);

 private:
  // Larger requests fail as the real pool would; no allocation of the driver comes close.
  static constexpr std::size_t kLargestAllocation = std::size_t{64} << 20;
  static constexpr std::size_t kQuarantineBlocks = 4096;

  std::map<const void*, PoolAllocation> live_;
  std::set<const void*> freed_;  // addresses freed and not handed out again
  std::deque<void*> quarantine_;  // freed blocks not yet returned to the C library
};

// "func+0x12" for a code address, for reports.
std::string DescribeCodeAddress(const void* address);
// The pool tag as its four characters in memory order (0x53495220 is " RIS").
std::string DescribeTag(std::uint32_t tag);

}  // namespace host
