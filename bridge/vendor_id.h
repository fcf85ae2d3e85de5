// The USB vendor identifier of the adapter's serial bridge, the one field of the device
// descriptor that the bridge layer checks. Shared with the host's bridge model.
#pragma once

#include "platform/kernel.h"

// A placeholder until the product has its registered identifier: no maker's product is
// known under it.
constexpr USHORT kBridgeVendorId = 0xFFF1;
