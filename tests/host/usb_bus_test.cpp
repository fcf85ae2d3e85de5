// The host's USB bus driver: the two configuration helpers, URBs it refuses, and the
// removal of the device.
#include <gtest/gtest.h>

#include <functional>

#include "bridge/bridge_device.h"
#include "bridge/bulk_transfer.h"
#include "bridge/line_control.h"
#include "host/kernel/irp.h"
#include "tests/bridge/bridge_fixture.h"

namespace sirtest {
namespace {

using host::usb::RequestKind;

class UsbBusTest : public BridgeTest {
 protected:
  PUSB_CONFIGURATION_DESCRIPTOR Configuration() {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(model.configurationDescriptor().data());
  }
};

TEST_F(UsbBusTest, ConfigurationRequestHasRoomForTheInterfaceAndItsPipes) {
  Run([&] {
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(Configuration(), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, sizeof(_URB_SELECT_CONFIGURATION) + 2 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, Configuration());
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 3u);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Length,
              sizeof(USBD_INTERFACE_INFORMATION) + 2 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_NE(sim().pool().Find(urb), nullptr);  // tracked pool, freed with ExFreePool
    ExFreePool(urb);

    sim().faults().FailNth(sim().faults().allocations() + 1);
    EXPECT_EQ(USBD_CreateConfigurationRequest(Configuration(), &size), nullptr);
    EXPECT_EQ(sim().pool().LiveCount(), 0u);
  });
}

struct ParseCase {
  const char* name;
  std::function<void(std::vector<std::uint8_t>&)> change;
  bool found;
};

class ParseTest : public UsbBusTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTest, FindsTheInterfaceOnlyWithinTheDescriptor) {
  GetParam().change(model.configurationDescriptor());
  Run([&] {
    auto* configuration = Configuration();
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
    if (GetParam().found) {
      EXPECT_EQ(reinterpret_cast<PUCHAR>(interface), model.configurationDescriptor().data() + 9);
    } else {
      EXPECT_EQ(interface, nullptr);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, ParseTest,
    ::testing::Values(
        ParseCase{"Valid", [](auto&) {}, true},
        ParseCase{"ZeroLengthEntry", [](auto& bytes) { bytes[9] = 0; }, false},
        ParseCase{"InterfaceBeyondTotalLength", [](auto& bytes) { bytes[2] = 12; }, false},
        ParseCase{"EntryRunsPastTheEnd", [](auto& bytes) { bytes[9] = 200; }, false},
        ParseCase{"OtherClassOnly",
                  [](auto& bytes) { bytes[9 + 1] = USB_ENDPOINT_DESCRIPTOR_TYPE; }, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(UsbBusTest, MalformedUrbsAreRefusedInsideTheCall) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    sim().RunFor(host::kMillisecond);  // the status read is posted: ours come last
    UCHAR byte = 0;
    struct Case {
      const char* name;
      std::function<void(URB&)> fill;
      NTSTATUS status;
    } cases[] = {
        {"ShortHeader",
         [&](URB& urb) {
           FillTransferUrb(&urb, BridgePipe(bridge, kBulkOutPipe), 0, &byte, 1);
           urb.UrbHeader.Length = sizeof(_URB_HEADER);
         },
         STATUS_INVALID_PARAMETER},
        {"UnknownFunction", [](URB& urb) { urb.UrbHeader = {sizeof(URB), 0x0002, 0, nullptr, 0}; },
         STATUS_NOT_SUPPORTED},
        {"UnknownPipe",
         [&](URB& urb) { FillTransferUrb(&urb, &byte, 0, &byte, 1); }, STATUS_INVALID_PARAMETER},
        {"WrongDirection",
         [&](URB& urb) {
           FillTransferUrb(&urb, BridgePipe(bridge, kBulkOutPipe), USBD_TRANSFER_DIRECTION_IN,
                           &byte, 1);
         },
         STATUS_INVALID_PARAMETER},
        {"NoBuffer",
         [&](URB& urb) { FillTransferUrb(&urb, BridgePipe(bridge, kBulkOutPipe), 0, nullptr, 4); },
         STATUS_INVALID_PARAMETER},
    };
    std::size_t outs = model.EventsOf(host::devices::BridgeEvent::Type::kBulkOut).size();
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      URB urb{};
      c.fill(urb);
      EXPECT_EQ(SubmitUrbSync(lower.device(), &urb), c.status);
      EXPECT_TRUE(lower.requests().back().completedInCall);
      EXPECT_FALSE(lower.requests().back().kind.has_value());
    }
    EXPECT_EQ(model.EventsOf(host::devices::BridgeEvent::Type::kBulkOut).size(), outs);
    Release(bridge);
  });
}

TEST_F(UsbBusTest, RemovalEndsPendingRequestsAndRefusesNewOnes) {
  Run([&] {
    BridgeHandle bridge = StartedBridge();
    UCHAR buffer[8];
    BulkStatusBlock status{};
    auto freeIrp = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
      IoFreeIrp(irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    };
    ASSERT_EQ(BulkReadAsync(bridge, buffer, sizeof buffer, freeIrp, nullptr, &status),
              STATUS_PENDING);
    sim().RunFor(host::kMillisecond);
    ASSERT_EQ(lower.pendingCount(), 2u);  // the read and the status read
    lower.Remove();
    sim().RunFor(host::kMillisecond);
    EXPECT_EQ(lower.pendingCount(), 0u);
    EXPECT_EQ(status.status, static_cast<ULONG>(STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(bridge->interruptRead, nullptr);

    EXPECT_EQ(SetBaudRate(bridge, 9600), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(lower.requests().back().completedInCall);
    Release(bridge);
  });
}

}  // namespace
}  // namespace sirtest
