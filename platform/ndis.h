// NDIS library declarations the driver uses: status codes, handles, packets and buffers,
// media-specific information, the NDIS 5.0 miniport characteristics, configuration,
// indications and completions, and the OIDs the driver answers.
#pragma once

#include "platform/kernel.h"

typedef INT NDIS_STATUS, *PNDIS_STATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;

// An NDIS_STRING for a string literal, e.g. NDIS_STRING_CONST("MaxConnectList").
#define NDIS_STRING_CONST(text)                                                          \
  {static_cast<USHORT>(sizeof(u"" text) - sizeof(WCHAR)), static_cast<USHORT>(sizeof(u"" text)), \
   const_cast<PWSTR>(u"" text)}
typedef ULONG NDIS_ERROR_CODE;

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
constexpr NDIS_STATUS NDIS_STATUS_SUCCESS = 0x00000000;
constexpr NDIS_STATUS NDIS_STATUS_PENDING = 0x00000103;
constexpr NDIS_STATUS NDIS_STATUS_HARD_ERRORS = static_cast<NDIS_STATUS>(0x80010004);
constexpr NDIS_STATUS NDIS_STATUS_FAILURE = static_cast<NDIS_STATUS>(0xC0000001);
constexpr NDIS_STATUS NDIS_STATUS_RESOURCES = static_cast<NDIS_STATUS>(0xC000009A);
constexpr NDIS_STATUS NDIS_STATUS_NOT_SUPPORTED = static_cast<NDIS_STATUS>(0xC00000BB);
constexpr NDIS_STATUS NDIS_STATUS_ADAPTER_NOT_FOUND = static_cast<NDIS_STATUS>(0xC0010006);
constexpr NDIS_STATUS NDIS_STATUS_OPEN_FAILED = static_cast<NDIS_STATUS>(0xC0010007);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_PACKET = static_cast<NDIS_STATUS>(0xC001000F);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_LENGTH = static_cast<NDIS_STATUS>(0xC0010014);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_DATA = static_cast<NDIS_STATUS>(0xC0010015);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_OID = static_cast<NDIS_STATUS>(0xC0010017);
constexpr NDIS_STATUS NDIS_STATUS_UNSUPPORTED_MEDIA = static_cast<NDIS_STATUS>(0xC0010019);

constexpr NDIS_ERROR_CODE NDIS_ERROR_CODE_ADAPTER_NOT_FOUND = 0xC000138B;

// ---------------------------------------------------------------------------
// Media, attributes, interface types
// ---------------------------------------------------------------------------
enum NDIS_MEDIUM { NdisMedium802_3 = 0, NdisMediumIrda = 10 };
typedef NDIS_MEDIUM* PNDIS_MEDIUM;

enum NDIS_INTERFACE_TYPE { NdisInterfaceInternal = 0 };

constexpr ULONG NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT = 0x00000002;
constexpr ULONG NDIS_ATTRIBUTE_DESERIALIZE = 0x00000020;
constexpr ULONG NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND = 0x00000040;

// ---------------------------------------------------------------------------
// Buffers and packets
// ---------------------------------------------------------------------------
// A buffer descriptor: a run of virtually contiguous bytes in a chain.
struct NDIS_BUFFER {
  NDIS_BUFFER* Next;
  PVOID StartVa;  // page-aligned start of the region the bytes lie in
  ULONG ByteOffset;
  ULONG ByteCount;
  NDIS_HANDLE Pool;
};
typedef NDIS_BUFFER* PNDIS_BUFFER;

// Packet flags that NDIS keeps for itself.
constexpr UCHAR fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO = 0x40;
constexpr UCHAR fPACKET_ALLOCATED_BY_NDIS = 0x80;

struct NDIS_PACKET_PRIVATE {
  UINT PhysicalCount;
  UINT TotalLength;
  PNDIS_BUFFER Head;
  PNDIS_BUFFER Tail;
  NDIS_HANDLE Pool;
  UINT Count;
  ULONG Flags;
  BOOLEAN ValidCounts;
  UCHAR NdisPacketFlags;
  USHORT NdisPacketOobOffset;
};

struct NDIS_PACKET {
  NDIS_PACKET_PRIVATE Private;
  UCHAR MiniportReserved[2 * sizeof(PVOID)];  // the miniport's own, while it owns the packet
  UCHAR WrapperReserved[2 * sizeof(PVOID)];
  UCHAR ProtocolReserved[1];                  // followed by the pool's protocol-reserved room
};
typedef NDIS_PACKET* PNDIS_PACKET;
typedef PNDIS_PACKET* PPNDIS_PACKET;

typedef ULONG NDIS_CLASS_ID;
constexpr NDIS_CLASS_ID NdisClassIrdaPacketInfo = 3;

struct MEDIA_SPECIFIC_INFORMATION {
  ULONG NextEntryOffset;
  NDIS_CLASS_ID ClassId;
  ULONG Size;
  UCHAR ClassInformation[1];
};
typedef MEDIA_SPECIFIC_INFORMATION* PMEDIA_SPECIFIC_INFORMATION;

struct NDIS_IRDA_PACKET_INFO {
  ULONG ExtraBOFs;
  ULONG MinTurnAroundTime;  // microseconds
};
typedef NDIS_IRDA_PACKET_INFO* PNDIS_IRDA_PACKET_INFO;

// ---------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------
enum NDIS_PARAMETER_TYPE {
  NdisParameterInteger = 0,
  NdisParameterHexInteger = 1,
  NdisParameterString = 2,
  NdisParameterMultiString = 3,
  NdisParameterBinary = 4
};

struct NDIS_CONFIGURATION_PARAMETER {
  NDIS_PARAMETER_TYPE ParameterType;
  union {
    ULONG IntegerData;
    NDIS_STRING StringData;
  } ParameterData;
};
typedef NDIS_CONFIGURATION_PARAMETER* PNDIS_CONFIGURATION_PARAMETER;

// ---------------------------------------------------------------------------
// Miniport characteristics (NDIS 5.0)
// ---------------------------------------------------------------------------
typedef BOOLEAN (*W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE miniportAdapterContext);
typedef void (*W_HALT_HANDLER)(NDIS_HANDLE miniportAdapterContext);
typedef NDIS_STATUS (*W_INITIALIZE_HANDLER)(PNDIS_STATUS openErrorStatus,
                                            PUINT selectedMediumIndex, PNDIS_MEDIUM mediumArray,
                                            UINT mediumArraySize,
                                            NDIS_HANDLE miniportAdapterHandle,
                                            NDIS_HANDLE wrapperConfigurationContext);
typedef NDIS_STATUS (*W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE miniportAdapterContext,
                                                   NDIS_OID oid, PVOID informationBuffer,
                                                   ULONG informationBufferLength,
                                                   PULONG bytesWritten, PULONG bytesNeeded);
typedef NDIS_STATUS (*W_RESET_HANDLER)(PBOOLEAN addressingReset,
                                       NDIS_HANDLE miniportAdapterContext);
typedef NDIS_STATUS (*W_SEND_HANDLER)(NDIS_HANDLE miniportAdapterContext, PNDIS_PACKET packet,
                                      UINT flags);
typedef NDIS_STATUS (*W_SET_INFORMATION_HANDLER)(NDIS_HANDLE miniportAdapterContext,
                                                 NDIS_OID oid, PVOID informationBuffer,
                                                 ULONG informationBufferLength,
                                                 PULONG bytesRead, PULONG bytesNeeded);
typedef void (*W_RETURN_PACKET_HANDLER)(NDIS_HANDLE miniportAdapterContext,
                                        PNDIS_PACKET packet);
// Handlers this driver never registers keep their slot with an untyped entry.
typedef PVOID W_UNUSED_HANDLER;

struct NDIS50_MINIPORT_CHARACTERISTICS {
  UCHAR MajorNdisVersion;
  UCHAR MinorNdisVersion;
  USHORT Filler;
  UINT Reserved;
  W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
  W_UNUSED_HANDLER DisableInterruptHandler;
  W_UNUSED_HANDLER EnableInterruptHandler;
  W_HALT_HANDLER HaltHandler;
  W_UNUSED_HANDLER HandleInterruptHandler;
  W_INITIALIZE_HANDLER InitializeHandler;
  W_UNUSED_HANDLER ISRHandler;
  W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
  W_UNUSED_HANDLER ReconfigureHandler;
  W_RESET_HANDLER ResetHandler;
  W_SEND_HANDLER SendHandler;
  W_SET_INFORMATION_HANDLER SetInformationHandler;
  W_UNUSED_HANDLER TransferDataHandler;
  // NDIS 4.0 additions
  W_RETURN_PACKET_HANDLER ReturnPacketHandler;
  W_UNUSED_HANDLER SendPacketsHandler;
  W_UNUSED_HANDLER AllocateCompleteHandler;
  // NDIS 5.0 additions: the connection-oriented handlers
  W_UNUSED_HANDLER CoCreateVcHandler;
  W_UNUSED_HANDLER CoDeleteVcHandler;
  W_UNUSED_HANDLER CoActivateVcHandler;
  W_UNUSED_HANDLER CoDeactivateVcHandler;
  W_UNUSED_HANDLER CoSendPacketsHandler;
  W_UNUSED_HANDLER CoRequestHandler;
};
typedef NDIS50_MINIPORT_CHARACTERISTICS NDIS_MINIPORT_CHARACTERISTICS;
typedef NDIS_MINIPORT_CHARACTERISTICS* PNDIS_MINIPORT_CHARACTERISTICS;

// ---------------------------------------------------------------------------
// OIDs
// ---------------------------------------------------------------------------
constexpr NDIS_OID OID_GEN_SUPPORTED_LIST = 0x00010101;
constexpr NDIS_OID OID_GEN_HARDWARE_STATUS = 0x00010102;
constexpr NDIS_OID OID_GEN_MEDIA_SUPPORTED = 0x00010103;
constexpr NDIS_OID OID_GEN_MEDIA_IN_USE = 0x00010104;
constexpr NDIS_OID OID_GEN_MAXIMUM_LOOKAHEAD = 0x00010105;
constexpr NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
constexpr NDIS_OID OID_GEN_LINK_SPEED = 0x00010107;
constexpr NDIS_OID OID_GEN_TRANSMIT_BUFFER_SPACE = 0x00010108;
constexpr NDIS_OID OID_GEN_RECEIVE_BUFFER_SPACE = 0x00010109;
constexpr NDIS_OID OID_GEN_TRANSMIT_BLOCK_SIZE = 0x0001010A;
constexpr NDIS_OID OID_GEN_RECEIVE_BLOCK_SIZE = 0x0001010B;
constexpr NDIS_OID OID_GEN_VENDOR_ID = 0x0001010C;
constexpr NDIS_OID OID_GEN_VENDOR_DESCRIPTION = 0x0001010D;
constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
constexpr NDIS_OID OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
constexpr NDIS_OID OID_GEN_DRIVER_VERSION = 0x00010110;
constexpr NDIS_OID OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
constexpr NDIS_OID OID_GEN_PROTOCOL_OPTIONS = 0x00010112;
constexpr NDIS_OID OID_GEN_MAC_OPTIONS = 0x00010113;
constexpr NDIS_OID OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;
constexpr NDIS_OID OID_GEN_MAXIMUM_SEND_PACKETS = 0x00010115;
constexpr NDIS_OID OID_GEN_VENDOR_DRIVER_VERSION = 0x00010116;
constexpr NDIS_OID OID_GEN_XMIT_OK = 0x00020101;
constexpr NDIS_OID OID_GEN_RCV_OK = 0x00020102;
constexpr NDIS_OID OID_GEN_XMIT_ERROR = 0x00020103;
constexpr NDIS_OID OID_GEN_RCV_ERROR = 0x00020104;
constexpr NDIS_OID OID_GEN_RCV_NO_BUFFER = 0x00020105;
constexpr NDIS_OID OID_IRDA_RECEIVING = 0x0A010100;
constexpr NDIS_OID OID_IRDA_TURNAROUND_TIME = 0x0A010101;
constexpr NDIS_OID OID_IRDA_SUPPORTED_SPEEDS = 0x0A010102;
constexpr NDIS_OID OID_IRDA_LINK_SPEED = 0x0A010103;
constexpr NDIS_OID OID_IRDA_MEDIA_BUSY = 0x0A010104;
constexpr NDIS_OID OID_IRDA_EXTRA_RCV_BOFS = 0x0A010200;
constexpr NDIS_OID OID_IRDA_RATE_SNIFF = 0x0A010201;
constexpr NDIS_OID OID_IRDA_UNICAST_LIST = 0x0A010202;
constexpr NDIS_OID OID_IRDA_MAX_RECEIVE_WINDOW_SIZE = 0x0A010204;
constexpr NDIS_OID OID_IRDA_MAX_SEND_WINDOW_SIZE = 0x0A010205;
constexpr NDIS_OID OID_PNP_CAPABILITIES = 0xFD010100;
constexpr NDIS_OID OID_PNP_SET_POWER = 0xFD010101;
constexpr NDIS_OID OID_PNP_QUERY_POWER = 0xFD010102;
constexpr NDIS_OID OID_PNP_ENABLE_WAKE_UP = 0xFD010106;

// Values carried by some OIDs.
constexpr ULONG NdisHardwareStatusReady = 0;
constexpr ULONG NdisMediaStateConnected = 0;
constexpr ULONG NDIS_PACKET_TYPE_PROMISCUOUS = 0x00000020;
constexpr ULONG NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA = 0x00000001;
constexpr ULONG NDIS_MAC_OPTION_TRANSFERS_NOT_PEND = 0x00000004;
constexpr ULONG NdisDeviceStateD0 = 1;
constexpr ULONG NdisDeviceStateD1 = 2;
constexpr ULONG NdisDeviceStateD3 = 4;

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------
extern "C" {

// Registration.
void NdisInitializeWrapper(PNDIS_HANDLE wrapperHandle, PVOID systemSpecific1,
                           PVOID systemSpecific2, PVOID systemSpecific3);
NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE wrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS characteristics,
                                  UINT characteristicsLength);
void NdisMSetAttributesEx(NDIS_HANDLE miniportAdapterHandle, NDIS_HANDLE miniportAdapterContext,
                          UINT checkForHangTimeInSeconds, ULONG attributeFlags,
                          NDIS_INTERFACE_TYPE adapterType);
void NdisMGetDeviceProperty(NDIS_HANDLE miniportAdapterHandle,
                            PDEVICE_OBJECT* physicalDeviceObject,
                            PDEVICE_OBJECT* functionalDeviceObject,
                            PDEVICE_OBJECT* nextDeviceObject, PVOID* allocatedResources,
                            PVOID* allocatedResourcesTranslated);

// Configuration.
void NdisOpenConfiguration(PNDIS_STATUS status, PNDIS_HANDLE configurationHandle,
                           NDIS_HANDLE wrapperConfigurationContext);
void NdisReadConfiguration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER* parameterValue,
                           NDIS_HANDLE configurationHandle, PNDIS_STRING keyword,
                           NDIS_PARAMETER_TYPE parameterType);
void NdisCloseConfiguration(NDIS_HANDLE configurationHandle);

// Memory.
NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* virtualAddress, UINT length, ULONG tag);
void NdisFreeMemory(PVOID virtualAddress, UINT length, UINT memoryFlags);

// Packet and buffer pools and descriptors.
void NdisAllocatePacketPool(PNDIS_STATUS status, PNDIS_HANDLE poolHandle,
                            UINT numberOfDescriptors, UINT protocolReservedLength);
void NdisFreePacketPool(NDIS_HANDLE poolHandle);
void NdisAllocatePacket(PNDIS_STATUS status, PNDIS_PACKET* packet, NDIS_HANDLE poolHandle);
void NdisFreePacket(PNDIS_PACKET packet);
void NdisAllocateBufferPool(PNDIS_STATUS status, PNDIS_HANDLE poolHandle,
                            UINT numberOfDescriptors);
void NdisFreeBufferPool(NDIS_HANDLE poolHandle);
void NdisAllocateBuffer(PNDIS_STATUS status, PNDIS_BUFFER* buffer, NDIS_HANDLE poolHandle,
                        PVOID virtualAddress, UINT length);
void NdisFreeBuffer(PNDIS_BUFFER buffer);
void NdisChainBufferAtFront(PNDIS_PACKET packet, PNDIS_BUFFER buffer);
void NdisUnchainBufferAtFront(PNDIS_PACKET packet, PNDIS_BUFFER* buffer);
void NdisQueryPacket(PNDIS_PACKET packet, PUINT physicalBufferCount, PUINT bufferCount,
                     PNDIS_BUFFER* firstBuffer, PUINT totalPacketLength);
void NdisQueryBuffer(PNDIS_BUFFER buffer, PVOID* virtualAddress, PUINT length);
void NdisQueryBufferOffset(PNDIS_BUFFER buffer, PUINT offset, PUINT length);
void NdisGetNextBuffer(PNDIS_BUFFER currentBuffer, PNDIS_BUFFER* nextBuffer);
ULONG NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER buffer);
// Yields the packet's media-specific information, or null and 0 when it has none.
void NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(PNDIS_PACKET packet, PVOID* information,
                                         PUINT size);
void NDIS_SET_PACKET_HEADER_SIZE(PNDIS_PACKET packet, UINT size);
NDIS_STATUS NDIS_GET_PACKET_STATUS(PNDIS_PACKET packet);

// Indications and completions.
void NdisMIndicateReceivePacket(NDIS_HANDLE miniportAdapterHandle, PPNDIS_PACKET packets,
                                UINT numberOfPackets);
void NdisMSendComplete(NDIS_HANDLE miniportAdapterHandle, PNDIS_PACKET packet,
                       NDIS_STATUS status);
void NdisMResetComplete(NDIS_HANDLE miniportAdapterHandle, NDIS_STATUS status,
                        BOOLEAN addressingReset);
void NdisMQueryInformationComplete(NDIS_HANDLE miniportAdapterHandle, NDIS_STATUS status);
void NdisMSetInformationComplete(NDIS_HANDLE miniportAdapterHandle, NDIS_STATUS status);

// Miscellaneous.
void NdisMSleep(ULONG microsecondsToSleep);
void NdisWriteErrorLogEntry(NDIS_HANDLE miniportAdapterHandle, NDIS_ERROR_CODE errorCode,
                            ULONG numberOfErrorValues, ...);

}  // extern "C"

inline void NdisZeroMemory(PVOID destination, ULONG length) {
  RtlZeroMemory(destination, length);
}
inline void NdisMoveMemory(PVOID destination, const void* source, ULONG length) {
  RtlCopyMemory(destination, source, length);
}
