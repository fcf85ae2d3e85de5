// Byte flags that several contexts read and write without a lock (nowSending, halting,
// ...) go through these two helpers, so that each access is one indivisible load or
// store and the program has no data race. They order nothing: callers that need an
// order use a lock or an event.
#pragma once

#include "platform/kernel.h"

inline UCHAR ReadOnce(const UCHAR& flag) { return __atomic_load_n(&flag, __ATOMIC_RELAXED); }

inline void WriteOnce(UCHAR& flag, UCHAR value) {
  __atomic_store_n(&flag, value, __ATOMIC_RELAXED);
}
