// An adapter's registry values as NDIS hands them to the miniport. The wrapper
// configuration context that MiniportInitialize receives points to one of these; the
// configuration calls (open, read, close) read it and record what was asked.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/ndis.h"

namespace host::ndis {

namespace rule {
inline constexpr std::string_view kConfigurationLeak = "ndis.configuration_not_closed";
}

struct AdapterConfiguration {
  AdapterConfiguration() = default;
  AdapterConfiguration(const AdapterConfiguration&) = delete;
  AdapterConfiguration& operator=(const AdapterConfiguration&) = delete;
  ~AdapterConfiguration();

  void SetInteger(const std::string& name, ULONG value) { values[name] = value; }
  // A string value; read as an integer it converts only when it is a decimal number.
  void SetString(const std::string& name, const std::string& value) { values[name] = value; }
  NDIS_HANDLE wrapperContext() { return this; }

  std::map<std::string, std::variant<ULONG, std::string>> values;
  std::vector<std::string> reads;  // every name the driver asked for, in order
  int openHandles = 0;
  // Makes NdisOpenConfiguration fail, as for an adapter whose registry key is missing.
  bool failOpen = false;
};

}  // namespace host::ndis
