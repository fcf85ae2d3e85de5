// Pool bookkeeping and the checks on every free.
#include "host/kernel/pool.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/kernel/simulation.h"

namespace host {

std::string DescribeCodeAddress(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_sname == nullptr) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
  }
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : info.dli_sname;
  // Drop the parameter list: the last balanced "(...)" at the end of the name.
  if (!name.empty() && name.back() == ')') {
    int depth = 0;
    for (std::size_t i = name.size(); i-- > 0;) {
      depth += name[i] == ')' ? 1 : name[i] == '(' ? -1 : 0;
      if (depth == 0) {
        name.resize(i);
        break;
      }
    }
  }
  char offset[32];
  std::snprintf(offset, sizeof offset, "+0x%zx",
                static_cast<std::size_t>(static_cast<const char*>(address) -
                                         static_cast<const char*>(info.dli_saddr)));
  return name + offset;
}

std::string DescribeTag(std::uint32_t tag) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, " (0x%08X)", tag);
  return "'" + text + "'" + hex;
}

Pool::~Pool() {
  for (auto& [pointer, allocation] : live_) std::free(const_cast<void*>(pointer));
  for (void* pointer : quarantine_) std::free(pointer);
}

void* Pool::Allocate(PoolKind kind, std::size_t size, std::uint32_t tag,
                     std::size_t alignment, const void* returnAddress, const char* call) {
  if (Simulation::Current().faults().ShouldFail(tag)) return nullptr;
  // A size near SIZE_MAX would wrap when rounded up and hand out a tiny block.
  if (size > kLargestAllocation) return nullptr;
  std::size_t rounded = (std::max<std::size_t>(size, 1) + alignment - 1) / alignment * alignment;
  void* memory = std::aligned_alloc(alignment, rounded);
  if (memory == nullptr) return nullptr;
  std::memset(memory, 0xCD, rounded);
  live_[memory] = PoolAllocation{size, tag, kind, returnAddress, call};
  freed_.erase(memory);
  return memory;
}

void Pool::Free(PoolKind kind, void* pointer, std::size_t length, const char* call) {
  Verifier& verifier = Simulation::Current().verifier();
  auto found = live_.find(pointer);
  if (found == live_.end()) {
    char detail[96];
    std::snprintf(detail, sizeof detail, "%p", pointer);
    verifier.Report(freed_.count(pointer) ? rule::kPoolDoubleFree : rule::kPoolUnknownFree,
                    call, std::string("memory at ") + detail + " is not a live allocation");
    return;
  }
  const PoolAllocation& allocation = found->second;
  if (allocation.kind != kind) {
    verifier.Report(rule::kPoolWrongCall, call,
                    "memory from " + std::string(allocation.call) + " freed with " + call);
  } else if (kind == PoolKind::kNdis && length != allocation.size) {
    verifier.Report(rule::kPoolLength, call,
                    "freed with length " + std::to_string(length) + ", allocated with " +
                        std::to_string(allocation.size) + " by " +
                        DescribeCodeAddress(allocation.returnAddress));
  }
  std::memset(pointer, 0xDD, allocation.size);
  live_.erase(found);
  freed_.insert(pointer);
  // Freed blocks wait in a quarantine before they go back to the C library, so that the
  // next allocation does not get the same address at once and a second free of it is
  // still seen as a double free.
  quarantine_.push_back(pointer);
  if (quarantine_.size() > kQuarantineBlocks) {
    std::free(quarantine_.front());
    quarantine_.pop_front();
  }
}

const PoolAllocation* Pool::Find(const void* pointer) const {
  auto found = live_.find(pointer);
  return found == live_.end() ? nullptr : &found->second;
}

std::size_t Pool::LiveCount(std::uint32_t tag) const {
  std::size_t count = 0;
  for (auto& [pointer, allocation] : live_) count += allocation.tag == tag;
  return count;
}

std::size_t Pool::CheckLeaks(const char* checkpoint) {
  Verifier& verifier = Simulation::Current().verifier();
  for (auto& [pointer, allocation] : live_) {
    verifier.Report(rule::kPoolLeak, checkpoint,
                    std::to_string(allocation.size) + " bytes with tag " +
                        DescribeTag(allocation.tag) + " from " + allocation.call + " by " +
                        DescribeCodeAddress(allocation.returnAddress) + " are still live");
  }
  return live_.size();
}

}  // namespace host
