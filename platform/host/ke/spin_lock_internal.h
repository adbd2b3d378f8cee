// Private to platform/host/ke.
// Spin-lock acquisition and release on behalf of a named kernel routine, shared by the
// KfAcquireSpinLock pair and the cancel spin lock; and the lock-order records they feed.
#pragma once

#include <vector>

#include "host/ddk/ke.h"

namespace host::ke::detail {

// Raises to DISPATCH_LEVEL and takes the lock; returns the previous level. Stops on a lock
// already owned by the caller, a lock that was never initialised, or a lock-order cycle.
KIRQL AcquireSpinLockFor(PKSPIN_LOCK lock, const char* routine, const void* caller);
// Releases a lock the caller owns and lowers to newIrql. Stops on a lock the caller does not own.
void ReleaseSpinLockFor(PKSPIN_LOCK lock, KIRQL newIrql, const char* routine, const void* caller);

// Whether the calling thread holds the lock: its word holds the thread's owner token.
bool HeldByCurrentThread(const KSPIN_LOCK* lock);

// The one system-wide cancel spin lock.
PKSPIN_LOCK CancelSpinLock();

// Records that `acquiring` is taken while every lock of `held` is held, and stops with
// LOCK_ORDER_CYCLE when some held lock was ever taken, directly or through other locks, while
// `acquiring` was held.
void NoteLockOrder(PKSPIN_LOCK acquiring, const std::vector<PKSPIN_LOCK>& held,
                   const char* routine, const void* caller);

}  // namespace host::ke::detail
