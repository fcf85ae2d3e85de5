// Test support for the whole driver as the system sees it: loaded through DriverEntry,
// its adapters reached only through the handlers it registered with NDIS and the
// dispatch entries it installed.
#pragma once

#include <cstring>
#include <functional>
#include <vector>

#include "host/io/io_manager.h"
#include "host/ndis/miniport_host.h"
#include "miniport/driver_entry.h"
#include "tests/miniport/adapter_fixture.h"

namespace sirtest {

class DriverTest : public AdapterTest {
 protected:
  using AdapterTest::AdapterTest;

  // Runs body with the driver loaded into a fresh miniport host.
  void RunWithDriver(const std::function<void(host::ndis::MiniportHost&)>& body) {
    Run([&] {
      host::ndis::MiniportHost ndis(DriverEntry);
      ASSERT_EQ(ndis.driverEntryStatus(), STATUS_SUCCESS);
      body(ndis);
    });
  }

  static host::ndis::Adapter& BringUp(host::ndis::MiniportHost& ndis,
                                      const host::ndis::AdapterSettings& settings = {}) {
    host::ndis::Adapter& adapter = ndis.AddAdapter(settings);
    EXPECT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    return adapter;
  }

  static host::ndis::AdapterSettings WithoutDongle() {
    host::ndis::AdapterSettings settings;
    settings.withDongle = false;
    return settings;
  }

  // The 32-bit little-endian word at `index` (counted in words).
  static ULONG Word(const std::vector<UCHAR>& bytes, std::size_t index = 0) {
    ULONG value = 0;
    std::memcpy(&value, bytes.data() + index * sizeof value, sizeof value);
    return value;
  }

  static std::vector<UCHAR> Words(std::initializer_list<ULONG> values) {
    std::vector<UCHAR> bytes(values.size() * sizeof(ULONG));
    std::size_t offset = 0;
    for (ULONG value : values) {
      std::memcpy(bytes.data() + offset, &value, sizeof value);
      offset += sizeof value;
    }
    return bytes;
  }
};

}  // namespace sirtest
