// The debugger log that DbgPrint writes.
#include "host/kernel/debug_log.h"

#include <algorithm>

namespace host {

std::size_t DebugLog::Count(std::string_view text) const {
  return static_cast<std::size_t>(std::count(entries_.begin(), entries_.end(), text));
}

}  // namespace host
