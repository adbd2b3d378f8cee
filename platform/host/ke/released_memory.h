// What the executive must be told, and can answer, when memory that may hold kernel objects is
// given back (a pool block by ExFreePool, a device extension by IoDeleteDevice): the lock-order
// records of spin locks that lived there are forgotten, and the executive says whether an armed
// timer or a queued (or running) deferred call still lies in the range.
#pragma once

#include <cstddef>

namespace host::ke {

// Forgets every lock-order record of spin locks whose KSPIN_LOCK lies in [begin, begin+bytes).
// Callable at any IRQL; takes only the lock-order table's own mutex.
void ForgetLocksIn(const void* begin, size_t bytes);

// True when a KTIMER armed right now lies in [begin, begin+bytes).
bool AnyArmedTimerIn(const void* begin, size_t bytes);
// True when a KDPC queued or running right now lies in [begin, begin+bytes).
bool AnyQueuedDpcIn(const void* begin, size_t bytes);

// True when the calling thread holds the system-wide cancel spin lock.
bool CancelSpinLockHeldByCaller();

}  // namespace host::ke
