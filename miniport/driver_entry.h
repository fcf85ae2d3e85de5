// The driver's entry point, called once by the system at PASSIVE_LEVEL when the driver
// loads.
#pragma once

#include "platform/kernel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
