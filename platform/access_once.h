// Flags and words that several contexts read and write without a lock (nowSending,
// halting, workerThreadHandle, ...) go through these two helpers, so that each access is
// one indivisible load or store and the program has no data race. They order nothing:
// callers that need an order use a lock or an event.
#pragma once

#include "platform/kernel.h"

template <class T>
inline T ReadOnce(const T& field) {
  static_assert(sizeof(T) <= sizeof(PVOID) && __is_trivially_copyable(T), "a byte, a word or a pointer");
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

template <class T>
inline void WriteOnce(T& field, T value) {
  static_assert(sizeof(T) <= sizeof(PVOID) && __is_trivially_copyable(T), "a byte, a word or a pointer");
  __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}
