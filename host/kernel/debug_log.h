// What the driver printed with DbgPrint, one entry per call, exactly as formatted.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host {

class DebugLog {
 public:
  void Append(std::string text) { entries_.push_back(std::move(text)); }
  const std::vector<std::string>& entries() const { return entries_; }
  std::size_t Count(std::string_view text) const;
  void Clear() { entries_.clear(); }

 private:
  std::vector<std::string> entries_;
};

}  // namespace host
