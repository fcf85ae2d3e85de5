// NdisOpenConfiguration, NdisReadConfiguration and NdisCloseConfiguration over an
// adapter's registry values. A parameter read stays valid until its handle is closed.
#include "host/ndis/configuration.h"

#include <deque>
#include <memory>

#include "host/kernel/simulation.h"

namespace host::ndis {

struct ConfigurationAccess {
  AdapterConfiguration* configuration;
  std::deque<NDIS_CONFIGURATION_PARAMETER> parameters;
  std::deque<std::u16string> texts;

  static AdapterConfiguration& Of(ConfigurationAccess* access) { return *access->configuration; }
};

AdapterConfiguration::~AdapterConfiguration() {
  if (openHandles != 0 && Simulation::CurrentOrNull() != nullptr) {
    Simulation::Current().verifier().Report(rule::kConfigurationLeak, "NdisOpenConfiguration",
                                            std::to_string(openHandles) +
                                                " configuration handles never closed");
  }
}

namespace {

std::string Narrow(const NDIS_STRING* text) {
  std::string name;
  for (USHORT i = 0; i < text->Length / sizeof(WCHAR); ++i) {
    name.push_back(static_cast<char>(text->Buffer[i]));
  }
  return name;
}

bool ParseDecimal(const std::string& text, ULONG* value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number > 0xFFFFFFFFull) return false;
  *value = static_cast<ULONG>(number);
  return true;
}

}  // namespace
}  // namespace host::ndis

using host::ndis::AdapterConfiguration;
using host::ndis::ConfigurationAccess;

extern "C" {

void NdisOpenConfiguration(PNDIS_STATUS status, PNDIS_HANDLE configurationHandle,
                           NDIS_HANDLE wrapperConfigurationContext) {
  auto* configuration = static_cast<AdapterConfiguration*>(wrapperConfigurationContext);
  *configurationHandle = nullptr;
  if (configuration == nullptr || host::Simulation::Current().faults().ShouldFail()) {
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  if (configuration->failOpen) {
    *status = NDIS_STATUS_FAILURE;
    return;
  }
  ++configuration->openHandles;
  *configurationHandle = new ConfigurationAccess{configuration, {}, {}};
  *status = NDIS_STATUS_SUCCESS;
}

void NdisReadConfiguration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER* parameterValue,
                           NDIS_HANDLE configurationHandle, PNDIS_STRING keyword,
                           NDIS_PARAMETER_TYPE parameterType) {
  auto* access = static_cast<ConfigurationAccess*>(configurationHandle);
  AdapterConfiguration& configuration = ConfigurationAccess::Of(access);
  std::string name = host::ndis::Narrow(keyword);
  configuration.reads.push_back(name);
  *status = NDIS_STATUS_FAILURE;
  auto found = configuration.values.find(name);
  if (found == configuration.values.end()) return;

  NDIS_CONFIGURATION_PARAMETER parameter{};
  parameter.ParameterType = parameterType;
  const ULONG* integer = std::get_if<ULONG>(&found->second);
  const std::string* text = std::get_if<std::string>(&found->second);
  if (parameterType == NdisParameterInteger || parameterType == NdisParameterHexInteger) {
    ULONG value = 0;
    if (integer != nullptr) {
      value = *integer;
    } else if (!host::ndis::ParseDecimal(*text, &value)) {
      return;
    }
    parameter.ParameterData.IntegerData = value;
  } else if (parameterType == NdisParameterString && text != nullptr) {
    std::u16string& wide = access->texts.emplace_back(text->begin(), text->end());
    parameter.ParameterData.StringData = {static_cast<USHORT>(wide.size() * sizeof(WCHAR)),
                                          static_cast<USHORT>(wide.size() * sizeof(WCHAR)),
                                          wide.data()};
  } else {
    return;
  }
  *parameterValue = &access->parameters.emplace_back(parameter);
  *status = NDIS_STATUS_SUCCESS;
}

void NdisCloseConfiguration(NDIS_HANDLE configurationHandle) {
  auto* access = static_cast<ConfigurationAccess*>(configurationHandle);
  --ConfigurationAccess::Of(access).openHandles;
  delete access;
}

}  // extern "C"
