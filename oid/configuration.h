// The adapter's registry configuration: the maximum connect rate, which limits the speeds
// the supported-speeds query offers. Read once, at initialization (PASSIVE_LEVEL).
#pragma once

#include "miniport/ir_device.h"
#include "platform/ndis.h"

// Sets allowedSpeeds from "MaxConnectList" (or "_MaxConnectRate") and installs the real
// transceiver operations. Fails only when the configuration cannot be opened.
NDIS_STATUS ReadConfiguration(IrDevice* device, NDIS_HANDLE wrapperConfigurationContext);

// The speeds a maximum connect rate allows: the SIR speeds up to it when it is one of
// them, every SIR speed otherwise.
ULONG AllowedSpeedsFor(ULONG maxConnectRate);
