// The maximum connect rate from the registry and the speeds it allows.
#include <optional>
#include <string>
#include <vector>

#include "tests/miniport/adapter_fixture.h"
#include "transceiver/transceiver.h"

namespace sirtest {
namespace {

struct ConfigurationCase {
  const char* name;
  std::optional<std::string> maxConnectList;  // a number is an integer value, else text
  std::optional<std::string> maxConnectRate;
  ULONG allowedSpeeds;
  std::vector<std::string> reads;
};

bool IsNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

class Configuration : public AdapterTest {};

TEST_F(Configuration, TheMaximumConnectRateLimitsTheSirSpeeds) {
  const std::vector<std::string> first{"MaxConnectList"};
  const std::vector<std::string> both{"MaxConnectList", "_MaxConnectRate"};
  const ConfigurationCase cases[] = {
      {"38400, fallback not read", "38400", "9600", 0x0E, first},
      {"9600", "9600", {}, 0x02, first},
      {"57600", "57600", {}, 0x1E, first},
      {"115200", "115200", {}, 0x3E, first},
      {"absent, fallback 19200", {}, "19200", 0x06, both},
      {"both absent", {}, {}, 0x3E, both},
      {"2400 is not a SIR speed", "2400", {}, 0x3E, first},
      {"576000: fast speeds never allowed", "576000", {}, 0x3E, first},
      {"0", "0", {}, 0x3E, first},
      {"not an integer, fallback 9600", "fast", "9600", 0x02, both},
      {"neither an integer", "fast", "slow", 0x3E, both},
  };
  for (const ConfigurationCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunCase([&](host::Simulation&, host::ndis::MiniportHost& ndis) {
      host::ndis::AdapterSettings settings;
      settings.withDongle = false;
      auto set = [&](const char* name, const std::optional<std::string>& value) {
        if (!value) return;
        if (IsNumber(*value)) {
          settings.integers[name] = static_cast<ULONG>(std::stoul(*value));
        } else {
          settings.strings[name] = *value;
        }
      };
      set("MaxConnectList", c.maxConnectList);
      set("_MaxConnectRate", c.maxConnectRate);
      host::ndis::Adapter& adapter = ndis.AddAdapter(settings);
      ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
      IrDevice* device = Device(adapter);
      EXPECT_EQ(device->allowedSpeeds, c.allowedSpeeds);
      EXPECT_EQ(adapter.configuration.reads, c.reads);
      EXPECT_EQ(adapter.configuration.openHandles, 0) << "the configuration is closed";
      EXPECT_NE(device->transceiverOps.SetSpeed, &TransceiverPlaceholderSetSpeed)
          << "the real transceiver operations are installed";
      ndis.Halt(adapter);
    });
  }
}

}  // namespace
}  // namespace sirtest
