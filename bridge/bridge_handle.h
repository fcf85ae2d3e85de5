// The handle by which the rest of the driver reaches the USB serial bridge, its failure
// sentinel, and the two-word status block that asynchronous bulk transfers fill.
#pragma once

#include "platform/kernel.h"

struct BridgeDevice;
typedef BridgeDevice* BridgeHandle;

// What CreateBridge returns in the handle's place when creation fails: the value of
// STATUS_INVALID_HANDLE. Every bridge routine refuses it, and null.
// (A function, not a variable: a pointer made from an integer is no constant, and a
// kernel runs no static initializers.)
inline BridgeHandle FailedBridge() {
  return reinterpret_cast<BridgeHandle>(
      static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_INVALID_HANDLE)));
}

inline bool IsUsableBridge(BridgeHandle bridge) {
  return bridge != nullptr && bridge != FailedBridge();
}

// Final status and bytes transferred of an asynchronous bulk transfer.
struct BulkStatusBlock {
  ULONG status;
  ULONG information;
};
