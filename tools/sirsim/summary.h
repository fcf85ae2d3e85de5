// The run's summary for people (a table) and for scripts (one JSON object). Plain host
// code.
#pragma once

#include <string>

#include "tools/sirsim/options.h"
#include "tools/sirsim/run_report.h"

namespace sirsim {

std::string FormatSummary(const RunReport& report, const Options& options);
std::string FormatJson(const RunReport& report, const Options& options);

}  // namespace sirsim
