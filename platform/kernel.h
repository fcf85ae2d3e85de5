// Kernel executive and HAL declarations the driver uses: basic types, status codes,
// lists, IRQL and spin locks, events and waits, DPCs, system threads, pool, IRPs and
// device objects. Written for this driver alone; the host (or a real kernel) supplies
// the calls.
#pragma once

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
typedef unsigned char UCHAR, *PUCHAR;
typedef char CHAR, *PCHAR, CCHAR;
typedef unsigned short USHORT, *PUSHORT;
typedef short SHORT;
typedef unsigned int UINT, *PUINT;
typedef int INT;
typedef unsigned int ULONG, *PULONG;  // 32 bits, as on the kernel's LLP64 model
typedef int LONG, *PLONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned long ULONG_PTR;  // pointer-sized
typedef long LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef void VOID, *PVOID;
typedef char16_t WCHAR, *PWSTR;
typedef LONG NTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;

static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(ULONGLONG) == 8);
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID));

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_WAIT_0 = 0x00000000;
constexpr NTSTATUS STATUS_WAIT_1 = 0x00000001;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_DEVICE_POWERED_OFF = static_cast<NTSTATUS>(0x8000000F);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = static_cast<NTSTATUS>(0xC0000016);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS STATUS_DELETE_PENDING = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = static_cast<NTSTATUS>(0xC000009C);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009D);
constexpr NTSTATUS STATUS_IO_TIMEOUT = static_cast<NTSTATUS>(0xC00000B5);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);

constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }

// ---------------------------------------------------------------------------
// Memory helpers (compiler built-ins, no library)
// ---------------------------------------------------------------------------
inline void RtlZeroMemory(void* destination, SIZE_T length) {
  __builtin_memset(destination, 0, length);
}
inline void RtlFillMemory(void* destination, SIZE_T length, UCHAR fill) {
  __builtin_memset(destination, fill, length);
}
inline void RtlCopyMemory(void* destination, const void* source, SIZE_T length) {
  __builtin_memcpy(destination, source, length);
}
inline void RtlMoveMemory(void* destination, const void* source, SIZE_T length) {
  __builtin_memmove(destination, source, length);
}

#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - __builtin_offsetof(type, field)))

// ---------------------------------------------------------------------------
// Doubly linked lists
// ---------------------------------------------------------------------------
struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
typedef LIST_ENTRY* PLIST_ENTRY;

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}
// Unlinks the entry; true when the list it was on is now empty.
inline bool RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY previous = entry->Blink;
  previous->Flink = next;
  next->Blink = previous;
  return next == previous;
}
// The caller has checked that the list is not empty.
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}

// ---------------------------------------------------------------------------
// IRQL and spin locks
// ---------------------------------------------------------------------------
typedef UCHAR KIRQL, *PKIRQL;
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

// ---------------------------------------------------------------------------
// Dispatcher objects: events, waits
// ---------------------------------------------------------------------------
struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Reserved[3];
  LONG SignalState;
  LIST_ENTRY WaitListHead;  // waiters, linked by the platform
};

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };
enum KWAIT_REASON { Executive = 0 };
enum KPROCESSOR_MODE : CCHAR { KernelMode = 0, UserMode = 1 };

struct KEVENT {
  DISPATCHER_HEADER Header;
};
typedef KEVENT* PKEVENT;

struct KWAIT_BLOCK;  // only passed as null: the platform's own blocks serve up to three objects
typedef KWAIT_BLOCK* PKWAIT_BLOCK;

constexpr ULONG THREAD_WAIT_OBJECTS = 3;
constexpr LONG IO_NO_INCREMENT = 0;

// ---------------------------------------------------------------------------
// Deferred procedure calls
// ---------------------------------------------------------------------------
struct KDPC;
typedef void (*PKDEFERRED_ROUTINE)(KDPC* dpc, PVOID deferredContext, PVOID systemArgument1,
                                   PVOID systemArgument2);
struct KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while the DPC is queued
};
typedef KDPC* PKDPC;

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
struct KTHREAD;
typedef KTHREAD* PKTHREAD;
struct OBJECT_ATTRIBUTES;
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};
typedef CLIENT_ID* PCLIENT_ID;
typedef void (*PKSTART_ROUTINE)(PVOID startContext);

constexpr KPRIORITY LOW_REALTIME_PRIORITY = 16;

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolCacheAligned = 4 };

// ---------------------------------------------------------------------------
// I/O: status blocks, IRPs, stack locations, device and driver objects
// ---------------------------------------------------------------------------
struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK* PIO_STATUS_BLOCK;

struct IRP;
struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
typedef IRP* PIRP;
typedef DEVICE_OBJECT* PDEVICE_OBJECT;
typedef DRIVER_OBJECT* PDRIVER_OBJECT;

typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
typedef NTSTATUS (*PDRIVER_DISPATCH)(PDEVICE_OBJECT deviceObject, PIRP irp);

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Stack-location control bits: when the completion routine is invoked.
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};
typedef IO_STACK_LOCATION* PIO_STACK_LOCATION;

// An IRP is followed in memory by its StackCount stack locations. The stack grows
// downwards: CurrentLocation counts from StackCount + 1 (no location yet) to 1.
struct IRP {
  IO_STATUS_BLOCK IoStatus;
  union {
    PVOID SystemBuffer;  // buffered I/O: one buffer for both directions
  } AssociatedIrp;
  CCHAR StackCount;
  CCHAR CurrentLocation;
  BOOLEAN Cancel;
  BOOLEAN PendingReturned;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PVOID UserBuffer;
  struct {
    struct {
      PIO_STACK_LOCATION CurrentStackLocation;
    } Overlay;
  } Tail;
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                                   BOOLEAN invokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

struct DEVICE_OBJECT {
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;  // the driver's next device object
  PVOID DeviceExtension;
  CCHAR StackSize;            // stack locations an IRP sent to this device needs
};

struct UNICODE_STRING {
  USHORT Length;  // bytes, without a terminator
  USHORT MaximumLength;
  PWSTR Buffer;
};
typedef UNICODE_STRING* PUNICODE_STRING;

struct DRIVER_OBJECT {
  PDEVICE_OBJECT DeviceObject;  // first device object of the driver
  PVOID DriverExtension;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

// Device-control codes.
constexpr ULONG FILE_DEVICE_UNKNOWN = 0x22;
constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_NEITHER = 3;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------
extern "C" {

// Spin locks and IRQL.
void KeInitializeSpinLock(PKSPIN_LOCK lock);
KIRQL KfAcquireSpinLock(PKSPIN_LOCK lock);
void KfReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
KIRQL KeGetCurrentIrql();

// Events and waits.
void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PKEVENT event);
void KeClearEvent(PKEVENT event);
LONG KeReadStateEvent(PKEVENT event);
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType,
                                  KWAIT_REASON reason, KPROCESSOR_MODE mode,
                                  BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable,
                                PLARGE_INTEGER interval);
void KeQuerySystemTime(PLARGE_INTEGER currentTime);

// System threads.
NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                              POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);
PKTHREAD KeGetCurrentThread();
KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
NTSTATUS ZwClose(HANDLE handle);

// Interlocked counters and lists.
LONG InterlockedIncrement(LONG volatile* addend);
LONG InterlockedDecrement(LONG volatile* addend);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand);
PLIST_ENTRY ExfInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry,
                                         PKSPIN_LOCK lock);
PLIST_ENTRY ExfInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry,
                                         PKSPIN_LOCK lock);
PLIST_ENTRY ExfInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock);

// DPCs.
void KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID deferredContext);
BOOLEAN KeInsertQueueDpc(PKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);

// Pool.
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T numberOfBytes, ULONG tag);
void ExFreePool(PVOID pointer);

// IRPs.
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength,
                                   PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event,
                                   PIO_STATUS_BLOCK ioStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
BOOLEAN IoCancelIrp(PIRP irp);
void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);

// Miscellaneous.
BOOLEAN IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion);
ULONG DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // extern "C"

inline NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return IofCallDriver(deviceObject, irp);
}
inline void IoCompleteRequest(PIRP irp, CCHAR priorityBoost) {
  IofCompleteRequest(irp, priorityBoost);
}
