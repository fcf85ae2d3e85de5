// Recording verifier findings.
#include "host/kernel/verifier.h"

#include <algorithm>
#include <cstdio>

#include "host/kernel/simulation.h"

namespace host {

std::string DescribeAddress(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

std::string Violation::Describe() const {
  return "verifier: " + rule + " in " + call + " on thread " + thread + ": " + detail;
}

void Verifier::Report(std::string_view ruleName, std::string_view call, std::string detail) {
  Violation violation{std::string(ruleName), CurrentThreadName(), std::string(call),
                      std::move(detail)};
  violations_.push_back(violation);
  if (handler_) handler_(violation);
}

std::size_t Verifier::Count(std::string_view ruleName) const {
  return static_cast<std::size_t>(
      std::count_if(violations_.begin(), violations_.end(),
                    [&](const Violation& v) { return v.rule == ruleName; }));
}

}  // namespace host
