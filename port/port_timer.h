// Due times of the port timers: milliseconds of the serial timeouts turned into relative due
// times of 100-ns units, saturating, and the arming of a port timer.
#pragma once

#include "port/port_record.h"

// 100-ns units per millisecond, the unit of due times.
constexpr LONGLONG DUE_UNITS_PER_MS = 10000;

// The longest relative due time a timer can be given.
constexpr LONGLONG LONGEST_RELATIVE_DUE = -0x7FFFFFFFFFFFFFFFLL;

// count x multiplier + constant milliseconds, or the largest 64-bit count when the sum does not
// fit (the product of two 32-bit values always does).
inline ULONGLONG TotalTimeoutMs(ULONG count, ULONG multiplier, ULONG constant) {
  ULONGLONG product = (ULONGLONG)count * multiplier;
  ULONGLONG total = product + constant;
  return total < product ? ~0ULL : total;
}

// The relative due time of `ms` milliseconds; a time too long to express waits the longest
// time expressible, never less.
inline LONGLONG RelativeDueOfMs(ULONGLONG ms) {
  if (ms > (ULONGLONG)(-LONGEST_RELATIVE_DUE) / DUE_UNITS_PER_MS) return LONGEST_RELATIVE_DUE;
  return -(LONGLONG)ms * DUE_UNITS_PER_MS;
}

// Sets a port timer to a relative due time with its deferred call, unless unload has begun:
// unload stops the timers once, relying on no deferred routine arming one after it.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID SetPortTimer(PKTIMER timer, LONGLONG relativeDue, PKDPC dpc) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  if (ReadShared(Unloading)) return;
  LARGE_INTEGER due;
  due.QuadPart = relativeDue;
  KeSetTimer(timer, due, dpc);
}
