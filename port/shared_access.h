// Single-word fields that threads and deferred calls read and write without a common lock
// (flags, sequence numbers, the Unloading flag) go through these: one load or store each, with
// acquire and release ordering, so that a producer's earlier stores (the ring bytes before the
// data mark) are visible to the consumer that sees its flag.
#pragma once

template <typename T>
inline T ReadShared(const volatile T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

template <typename T, typename V>
inline void WriteShared(volatile T& field, V value) {
  __atomic_store_n(&field, (T)value, __ATOMIC_RELEASE);
}
