// Adapter initialization and halt.
#include "tests/miniport/adapter_fixture.h"

namespace sirtest {
namespace {

class AdapterLifecycle : public AdapterTest {};

TEST_F(AdapterLifecycle, InitializesWithADongleAndHaltsLeavingNothing) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ASSERT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    IrDevice* device = Device(adapter);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(adapter.selectedMedium, 0u);
    EXPECT_EQ(adapter.block.attributeFlags(), 0x62u);
    EXPECT_EQ(device->currentSpeed, 9600u);
    EXPECT_EQ(device->nowReceiving, 1);
    EXPECT_EQ(device->allowedSpeeds, 0x3Eu);
    EXPECT_EQ(currentAdapter, device);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 9600u);
    ndis.Halt(adapter);
    EXPECT_EQ(currentAdapter, nullptr);
  });
}

}  // namespace
}  // namespace sirtest
