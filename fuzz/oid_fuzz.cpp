// Fuzz target for the information requests: the driver loaded through its entry point
// into the miniport host, one adapter brought up (with its dongle or without a lower
// device, with a connect rate from the registry or none), then a series of queries and
// sets with arbitrary OIDs (mostly the driver's own), buffer lengths and contents, issued
// one at a time as NDIS issues them, and the adapter halted. Checks each answer's status,
// BytesWritten, BytesRead and BytesNeeded against the buffer, that no byte past what the
// driver reports written changed and that a set leaves its buffer alone; the host's
// verifier checks the rest (every pended request completed once, nothing leaked at halt).
//
// Input: the scheduler seed, a settings byte (no lower device, which registry values,
// allocation failures after the bring-up) and the registry's connect rate, then per
// request a kind, an OID choice, a length choice and, for a set, the value choice and the
// buffer's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/ndis/miniport_host.h"
#include "miniport/driver_entry.h"
#include "miniport/ir_device.h"
#include "oid/query_information.h"

namespace sirfuzz {
namespace {

using host::ndis::RequestResult;

constexpr std::size_t kMaxRequests = 24;
constexpr ULONG kLongestAnswer = 148;  // the supported list

// OIDs that the driver answers although they are not in its list, or refuses by name.
constexpr NDIS_OID kUnlistedOids[] = {OID_IRDA_MAX_RECEIVE_WINDOW_SIZE,
                                      OID_IRDA_MAX_SEND_WINDOW_SIZE, OID_IRDA_RATE_SNIFF,
                                      OID_IRDA_UNICAST_LIST};

// Mostly an OID the driver knows; otherwise any value.
NDIS_OID ChooseOid(FuzzInput& input) {
  ULONG listed = 0;
  const NDIS_OID* oids = SupportedOids(&listed);
  std::uint8_t choice = input.Byte();
  if (choice < listed) return oids[choice];
  if (choice < listed + std::size(kUnlistedOids)) return kUnlistedOids[choice - listed];
  return input.Word();
}

// The length the OID's answer takes (the longest speed list for the speeds).
ULONG NaturalLength(NDIS_OID oid) {
  switch (oid) {
    case OID_GEN_SUPPORTED_LIST: return kLongestAnswer;
    case OID_GEN_VENDOR_DESCRIPTION: return 27;
    case OID_GEN_DRIVER_VERSION: return 2;
    case OID_IRDA_SUPPORTED_SPEEDS: return 20;
    default: return 4;
  }
}

// The natural length, one byte short of it, a small length or any length up to 600.
ULONG ChooseLength(FuzzInput& input, NDIS_OID oid) {
  std::uint8_t choice = input.Byte();
  if (choice < 0x60) return NaturalLength(oid);
  if (choice < 0x90) return NaturalLength(oid) - 1;
  if (choice < 0xE0) return choice % 9;
  return input.Short() % 600;
}

// A speed of the table, a speed the table does not have, or the input's bytes as they are.
std::vector<UCHAR> ChooseSetBuffer(FuzzInput& input, ULONG length) {
  static constexpr ULONG kValues[] = {9600, 19200, 38400, 57600, 115200, 2400,
                                      576000, 4000000, 0, 1, 3, 9601};
  std::vector<UCHAR> buffer(length, 0);
  std::span<const std::uint8_t> bytes = input.Take(length);
  std::copy(bytes.begin(), bytes.end(), buffer.begin());
  std::uint8_t choice = input.Byte();
  if (choice < std::size(kValues) && length >= sizeof(ULONG)) {
    std::memcpy(buffer.data(), &kValues[choice], sizeof(ULONG));
  }
  return buffer;
}

bool OneOf(NDIS_STATUS status, std::initializer_list<NDIS_STATUS> legal) {
  return std::find(legal.begin(), legal.end(), status) != legal.end();
}

void CheckQuery(NDIS_OID oid, ULONG length, const RequestResult& result) {
  Require(OneOf(result.answered, {NDIS_STATUS_SUCCESS, NDIS_STATUS_PENDING,
                                  NDIS_STATUS_INVALID_LENGTH, NDIS_STATUS_NOT_SUPPORTED,
                                  NDIS_STATUS_RESOURCES}),
          "a query was answered with a status it may not give");
  Require(result.status != NDIS_STATUS_PENDING, "a pended query was completed as pending");
  Require(result.bytesDone <= length, "BytesWritten is past the buffer");
  if (result.answered == NDIS_STATUS_INVALID_LENGTH) {
    Require(result.bytesNeeded != 0, "a short buffer was refused with BytesNeeded 0");
    Require(result.bytesDone + result.bytesNeeded <= kLongestAnswer,
            "BytesNeeded asks for more than any answer takes");
    if (oid != OID_IRDA_SUPPORTED_SPEEDS) {
      Require(result.bytesDone == 0, "a refused query reports bytes written");
      Require(result.bytesNeeded == NaturalLength(oid) - length,
              "BytesNeeded is not the bytes missing");
    }
  } else {
    Require(result.bytesNeeded == 0, "an accepted query reports bytes needed");
  }
  // What lies past the reported answer is as the host filled it (for a refused or
  // unsupported OID that is the whole buffer).
  ULONG written = OneOf(result.answered, {NDIS_STATUS_SUCCESS, NDIS_STATUS_PENDING}) ||
                          oid == OID_IRDA_SUPPORTED_SPEEDS
                      ? result.bytesDone
                      : 0;
  Require(std::all_of(result.buffer.begin() + written, result.buffer.end(),
                      [](UCHAR byte) { return byte == host::ndis::kUnwrittenByte; }),
          "a query wrote past what it reports written");
}

void CheckSet(ULONG length, const std::vector<UCHAR>& before, const RequestResult& result) {
  Require(OneOf(result.answered, {NDIS_STATUS_SUCCESS, NDIS_STATUS_PENDING,
                                  NDIS_STATUS_INVALID_LENGTH, NDIS_STATUS_INVALID_DATA,
                                  NDIS_STATUS_INVALID_OID, NDIS_STATUS_NOT_SUPPORTED,
                                  NDIS_STATUS_RESOURCES}),
          "a set was answered with a status it may not give");
  Require(result.status != NDIS_STATUS_PENDING, "a pended set was completed as pending");
  Require(result.bytesDone <= std::min<ULONG>(length, sizeof(ULONG)),
          "BytesRead is past the buffer or the value");
  if (length < sizeof(ULONG)) {
    Require(result.answered == NDIS_STATUS_INVALID_LENGTH && result.bytesNeeded == sizeof(ULONG),
            "a set shorter than a value was not refused for its length");
  } else {
    Require(result.bytesNeeded == 0, "a set of a whole value reports bytes needed");
  }
  Require(result.buffer == before, "a set changed the caller's buffer");
}

void IssueRequests(FuzzInput& input, host::Simulation& simulation) {
  std::uint8_t settingsByte = input.Byte();
  ULONG connectRate = input.Word();
  host::ndis::AdapterSettings settings;
  settings.withDongle = (settingsByte & 1) == 0;
  if (settingsByte & 2) settings.integers["MaxConnectList"] = connectRate;
  if (settingsByte & 4) settings.integers["_MaxConnectRate"] = connectRate;

  InitializeListHead(&adapterList);
  KeInitializeSpinLock(&adapterListLock);
  currentAdapter = nullptr;
  host::ndis::MiniportHost ndis(DriverEntry);
  Require(ndis.driverEntryStatus() == STATUS_SUCCESS, "the driver did not load");
  host::ndis::Adapter& adapter = ndis.AddAdapter(settings);
  Require(ndis.Initialize(adapter) == NDIS_STATUS_SUCCESS, "the adapter did not come up");
  // From here on a fifth of the driver's allocations may fail (work items among them).
  if (settingsByte & 8) simulation.faults().FailRandomly(0.2, connectRate);

  for (std::size_t i = 0; i < kMaxRequests && !input.empty(); ++i) {
    bool isSet = (input.Byte() & 1) != 0;
    NDIS_OID oid = ChooseOid(input);
    ULONG length = ChooseLength(input, oid);
    if (isSet) {
      std::vector<UCHAR> buffer = ChooseSetBuffer(input, length);
      CheckSet(length, buffer, ndis.Set(adapter, oid, buffer));
    } else {
      CheckQuery(oid, length, ndis.Query(adapter, oid, length));
    }
  }
  ndis.Halt(adapter);
  // The halt may return while the completion context is still inside the host's own work
  // (with another schedule it had not finished a completion); let it finish, so that the
  // run does not end with host objects on a thread that is then abandoned.
  simulation.RunFor(host::kMillisecond);
}

}  // namespace
}  // namespace sirfuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sirfuzz::FuzzInput input(data, size);
  std::uint64_t seed = input.Byte();
  sirfuzz::RunSimulation(seed, [&](host::Simulation& simulation) {
    sirfuzz::IssueRequests(input, simulation);
  });
  return 0;
}
