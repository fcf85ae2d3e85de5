// Deciding which allocation fails.
#include "host/kernel/faults.h"

namespace host {

bool FaultInjector::ShouldFail(std::optional<std::uint32_t> tag) {
  if (suspended_ != 0) return false;
  ++count_;
  bool fail = failNth_.count(count_) != 0 || (tag && failTags_.count(*tag) != 0);
  if (!fail && randomRate_ > 0.0) {
    fail = std::uniform_real_distribution<double>(0.0, 1.0)(random_) < randomRate_;
  }
  if (fail) ++injected_;
  return fail;
}

}  // namespace host
