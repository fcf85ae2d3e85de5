// Answers to information queries, driven by one table that also yields the supported list.
#include "oid/query_information.h"

#include "bridge/line_control.h"

namespace {

// How an OID is answered.
enum class Answer {
  kConstant,         // the row's value
  kCounter,          // the IrDevice field the row names
  kSupportedList,
  kVendorDescription,
  kDriverVersion,    // 16 bits
  kReceiving,
  kTurnaroundTime,
  kSupportedSpeeds,
  kLinkSpeed,
  kMediaBusy,
  kExtraBofs,
  kNothing,          // success, nothing written
  kNotSupported,     // listed, but answered NDIS_STATUS_NOT_SUPPORTED with nothing written
};

struct OidRow {
  NDIS_OID oid;
  Answer answer;
  ULONG value;
  ULONG IrDevice::*counter;
};

constexpr ULONG kMaximumFrameSize = 2050;
constexpr ULONG kMinimumReportedTurnaround = 5000;  // microseconds
constexpr char kVendorDescription[] = "Serial Infrared (COM) Port";

constexpr OidRow kListedOids[] = {
    {OID_GEN_SUPPORTED_LIST, Answer::kSupportedList, 0, nullptr},
    {OID_GEN_HARDWARE_STATUS, Answer::kConstant, NdisHardwareStatusReady, nullptr},
    {OID_GEN_MEDIA_SUPPORTED, Answer::kConstant, NdisMediumIrda, nullptr},
    {OID_GEN_MEDIA_IN_USE, Answer::kConstant, NdisMediumIrda, nullptr},
    {OID_GEN_MAXIMUM_LOOKAHEAD, Answer::kConstant, 256, nullptr},
    {OID_GEN_MAXIMUM_FRAME_SIZE, Answer::kConstant, kMaximumFrameSize, nullptr},
    {OID_GEN_LINK_SPEED, Answer::kConstant, 1152, nullptr},  // 100 bits/s units: 115200
    {OID_GEN_TRANSMIT_BUFFER_SPACE, Answer::kConstant, 2048, nullptr},
    {OID_GEN_RECEIVE_BUFFER_SPACE, Answer::kConstant, 2048, nullptr},
    {OID_GEN_TRANSMIT_BLOCK_SIZE, Answer::kConstant, 16, nullptr},
    {OID_GEN_RECEIVE_BLOCK_SIZE, Answer::kConstant, 16, nullptr},
    {OID_GEN_VENDOR_ID, Answer::kConstant, 0x00FFFFFF, nullptr},
    {OID_GEN_VENDOR_DESCRIPTION, Answer::kVendorDescription, 0, nullptr},
    {OID_GEN_CURRENT_PACKET_FILTER, Answer::kConstant, NDIS_PACKET_TYPE_PROMISCUOUS, nullptr},
    {OID_GEN_CURRENT_LOOKAHEAD, Answer::kConstant, 256, nullptr},
    {OID_GEN_DRIVER_VERSION, Answer::kDriverVersion, 0x0100, nullptr},
    {OID_GEN_MAXIMUM_TOTAL_SIZE, Answer::kConstant, kMaximumFrameSize, nullptr},
    {OID_GEN_PROTOCOL_OPTIONS, Answer::kNotSupported, 0, nullptr},
    {OID_GEN_MAC_OPTIONS, Answer::kConstant,
     NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_TRANSFERS_NOT_PEND, nullptr},
    {OID_GEN_MEDIA_CONNECT_STATUS, Answer::kConstant, NdisMediaStateConnected, nullptr},
    {OID_GEN_MAXIMUM_SEND_PACKETS, Answer::kConstant, 16, nullptr},
    {OID_GEN_VENDOR_DRIVER_VERSION, Answer::kConstant, 0x00010000, nullptr},
    {OID_GEN_XMIT_OK, Answer::kCounter, 0, &IrDevice::txOkCount},
    {OID_GEN_RCV_OK, Answer::kCounter, 0, &IrDevice::packetsReceived},
    {OID_GEN_XMIT_ERROR, Answer::kCounter, 0, &IrDevice::txErrorCount},
    {OID_GEN_RCV_ERROR, Answer::kCounter, 0, &IrDevice::packetsDropped},
    {OID_GEN_RCV_NO_BUFFER, Answer::kCounter, 0, &IrDevice::rxOverflows},
    {OID_IRDA_RECEIVING, Answer::kReceiving, 0, nullptr},
    {OID_IRDA_TURNAROUND_TIME, Answer::kTurnaroundTime, 0, nullptr},
    {OID_IRDA_SUPPORTED_SPEEDS, Answer::kSupportedSpeeds, 0, nullptr},
    {OID_IRDA_LINK_SPEED, Answer::kLinkSpeed, 0, nullptr},
    {OID_IRDA_MEDIA_BUSY, Answer::kMediaBusy, 0, nullptr},
    {OID_IRDA_EXTRA_RCV_BOFS, Answer::kExtraBofs, 0, nullptr},
    {OID_PNP_CAPABILITIES, Answer::kNothing, 0, nullptr},
    {OID_PNP_SET_POWER, Answer::kNothing, 0, nullptr},
    {OID_PNP_QUERY_POWER, Answer::kNothing, 0, nullptr},
    {OID_PNP_ENABLE_WAKE_UP, Answer::kNothing, 0, nullptr},
};
constexpr ULONG kListedOidCount = sizeof(kListedOids) / sizeof(kListedOids[0]);
static_assert(kListedOidCount == 37);

// Answered, but not in the supported list.
constexpr OidRow kUnlistedOids[] = {
    {OID_IRDA_MAX_RECEIVE_WINDOW_SIZE, Answer::kConstant, 7, nullptr},
    {OID_IRDA_MAX_SEND_WINDOW_SIZE, Answer::kConstant, 7, nullptr},
};

struct OidList {
  NDIS_OID oids[kListedOidCount];
};
constexpr OidList MakeOidList() {
  OidList list{};
  for (ULONG i = 0; i < kListedOidCount; ++i) list.oids[i] = kListedOids[i].oid;
  return list;
}
constexpr OidList kSupportedList = MakeOidList();

const OidRow* FindOid(NDIS_OID oid) {
  for (const OidRow& row : kListedOids) {
    if (row.oid == oid) return &row;
  }
  for (const OidRow& row : kUnlistedOids) {
    if (row.oid == oid) return &row;
  }
  return nullptr;
}

ULONG TransceiverSpeedCount(const IrDevice* device) {
  return static_cast<ULONG>(__builtin_popcount(device->transceiverCaps.speedMask & kSirSpeedMask));
}

ULONG NeededLength(const IrDevice* device, NDIS_OID oid) {
  switch (oid) {
    case OID_GEN_SUPPORTED_LIST: return sizeof(kSupportedList.oids);
    case OID_GEN_DRIVER_VERSION: return sizeof(USHORT);
    case OID_GEN_VENDOR_DESCRIPTION: return sizeof(kVendorDescription);
    case OID_IRDA_SUPPORTED_SPEEDS: return 4 * TransceiverSpeedCount(device);
    default: return sizeof(ULONG);
  }
}

void WriteUlong(PVOID buffer, ULONG value) { RtlCopyMemory(buffer, &value, sizeof value); }

// The allowed speeds in ascending order, as many as fit.
NDIS_STATUS WriteSupportedSpeeds(IrDevice* device, PUCHAR buffer, ULONG length,
                                 PULONG bytesWritten, PULONG bytesNeeded) {
  if (device->lowerDevice == nullptr) device->transceiverOps.QueryCaps(&device->transceiverCaps);
  ULONG mask = device->transceiverCaps.speedMask & device->allowedSpeeds & kSirSpeedMask;
  ULONG room = length;
  *bytesWritten = 0;
  for (const SpeedTableRow& row : SpeedTable) {
    if (mask == 0 || room < sizeof(ULONG)) break;
    if ((row.maskBit & mask) == 0) continue;
    WriteUlong(buffer + *bytesWritten, row.bitsPerSecond);
    *bytesWritten += sizeof(ULONG);
    room -= sizeof(ULONG);
    mask &= ~row.maskBit;
  }
  if (mask == 0) return NDIS_STATUS_SUCCESS;
  *bytesNeeded = sizeof(ULONG) * static_cast<ULONG>(__builtin_popcount(mask));
  return NDIS_STATUS_INVALID_LENGTH;
}

}  // namespace

const NDIS_OID* SupportedOids(ULONG* count) {
  *count = kListedOidCount;
  return kSupportedList.oids;
}

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE miniportAdapterContext, NDIS_OID oid,
                                     PVOID informationBuffer, ULONG informationBufferLength,
                                     PULONG bytesWritten, PULONG bytesNeeded) {
  auto* device = static_cast<IrDevice*>(miniportAdapterContext);
  ULONG needed = NeededLength(device, oid);
  if (informationBufferLength < needed) {
    *bytesNeeded = needed - informationBufferLength;
    *bytesWritten = 0;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  *bytesWritten = needed;
  *bytesNeeded = 0;

  const OidRow* row = FindOid(oid);
  if (row == nullptr) return NDIS_STATUS_NOT_SUPPORTED;
  auto* buffer = static_cast<PUCHAR>(informationBuffer);
  switch (row->answer) {
    case Answer::kConstant: WriteUlong(buffer, row->value); break;
    case Answer::kCounter: WriteUlong(buffer, device->*row->counter); break;
    case Answer::kSupportedList: RtlCopyMemory(buffer, kSupportedList.oids, needed); break;
    case Answer::kVendorDescription: RtlCopyMemory(buffer, kVendorDescription, needed); break;
    case Answer::kDriverVersion: {
      USHORT version = static_cast<USHORT>(row->value);
      RtlCopyMemory(buffer, &version, sizeof version);
      break;
    }
    case Answer::kReceiving: WriteUlong(buffer, ReadOnce(device->nowReceiving)); break;
    case Answer::kTurnaroundTime: {
      ULONG turnaround = device->transceiverCaps.turnaroundTime;
      WriteUlong(buffer, turnaround > kMinimumReportedTurnaround ? turnaround
                                                                 : kMinimumReportedTurnaround);
      break;
    }
    case Answer::kSupportedSpeeds:
      return WriteSupportedSpeeds(device, buffer, informationBufferLength, bytesWritten,
                                  bytesNeeded);
    case Answer::kLinkSpeed:
      WriteUlong(buffer, device->targetSpeed ? device->targetSpeed->bitsPerSecond : 9600);
      break;
    case Answer::kMediaBusy:
      if (UCHAR busy = ReadOnce(device->mediaBusy)) {
        WriteUlong(buffer, busy);
        return NDIS_STATUS_SUCCESS;
      }
      if (NT_SUCCESS(QueueWorkItem(MediaBusyWork, device, MediaBusyWorker, informationBuffer,
                                   informationBufferLength))) {
        return NDIS_STATUS_PENDING;
      }
      // Nobody asked the bridge, and nothing was written: no answer to report.
      *bytesWritten = 0;
      return NDIS_STATUS_RESOURCES;
    case Answer::kExtraBofs: WriteUlong(buffer, device->transceiverCaps.extraBofs); break;
    case Answer::kNothing: break;
    case Answer::kNotSupported:
      *bytesWritten = 0;
      return NDIS_STATUS_NOT_SUPPORTED;
  }
  return NDIS_STATUS_SUCCESS;
}

NTSTATUS MediaBusyWorker(WorkItem* item) {
  IrDevice* device = item->device;
  USHORT lineStatus = 0xFFFF;
  ULONG inCompletions = 0;
  ULONG outCompletions = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (device->lowerDevice != nullptr) {
    status = GetBridgeStatus(device->bridge, &lineStatus, &inCompletions, &outCompletions);
  }
  if (status == STATUS_SUCCESS && (lineStatus != 0 || inCompletions != 0 || outCompletions != 0)) {
    WriteOnce(device->mediaBusy, UCHAR{1});
  }
  WriteUlong(item->buffer, ReadOnce(device->mediaBusy));
  NdisMQueryInformationComplete(device->miniportHandle, status);
  FreeWorkItem(item);
  return status;
}
