// Reading the adapter's maximum connect rate.
#include "oid/configuration.h"

#include "transceiver/transceiver.h"

namespace {

bool ReadInteger(NDIS_HANDLE configuration, NDIS_STRING* name, ULONG* value) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
  NdisReadConfiguration(&status, &parameter, configuration, name, NdisParameterInteger);
  if (status != NDIS_STATUS_SUCCESS) return false;
  *value = parameter->ParameterData.IntegerData;
  return true;
}

}  // namespace

ULONG AllowedSpeedsFor(ULONG maxConnectRate) {
  const SpeedTableRow* row = FindSpeedRow(maxConnectRate);
  if (row == nullptr || (row->maskBit & kSirSpeedMask) == 0) return kSirSpeedMask;
  return kSirSpeedMask & ((row->maskBit << 1) - 1);
}

NDIS_STATUS ReadConfiguration(IrDevice* device, NDIS_HANDLE wrapperConfigurationContext) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  NDIS_HANDLE configuration = nullptr;
  NdisOpenConfiguration(&status, &configuration, wrapperConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) return status;

  NDIS_STRING maxConnectList = NDIS_STRING_CONST("MaxConnectList");
  NDIS_STRING maxConnectRate = NDIS_STRING_CONST("_MaxConnectRate");
  ULONG rate = 0;
  if (ReadInteger(configuration, &maxConnectList, &rate) ||
      ReadInteger(configuration, &maxConnectRate, &rate)) {
    device->allowedSpeeds = AllowedSpeedsFor(rate);
  } else {
    device->allowedSpeeds = kSirSpeedMask;
  }
  NDIS_STATUS result = InstallTransceiverOps(device);
  NdisCloseConfiguration(configuration);
  return result;
}
