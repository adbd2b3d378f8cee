// Entry checks of the driver's routine contracts. A routine whose declaration carries
// _IRQL_requires_(level), _IRQL_requires_max_(level), _Requires_lock_held_(lock) or
// _Requires_lock_not_held_(lock) begins its definition with the entry check of the same name
// and argument: ENTRY_IRQL_REQUIRES(level), ENTRY_IRQL_REQUIRES_MAX(level),
// ENTRY_REQUIRES_LOCK_HELD(lock), ENTRY_REQUIRES_LOCK_NOT_HELD(lock). A lock is named as in the
// annotation: a KSPIN_LOCK (port->PortLock) or the system-wide _Global_cancel_spin_lock_.
//
// In the host each check compares the calling thread's IRQL, or whether it holds the spin
// lock, with the contract and stops the host through the verifier with a message naming the
// routine, what it found and the contract. In the kernel they are nothing at all: the
// contracts there are the platform's static analysis's to check. Included only through
// platform/kernel.h.
#pragma once

#if defined(TESSACOM_HOME_NT)

#define ENTRY_IRQL_REQUIRES(level) ((void)0)
#define ENTRY_IRQL_REQUIRES_MAX(level) ((void)0)
#define ENTRY_REQUIRES_LOCK_HELD(lock) ((void)0)
#define ENTRY_REQUIRES_LOCK_NOT_HELD(lock) ((void)0)

#else

namespace host::ke {
// Stops with IRQL_CONTRACT_BROKEN in `routine` when the calling thread's IRQL is not `level`
// (exact) or is above it (!exact); `contract` is the annotation's text.
void CheckEntryIrql(const char* routine, KIRQL level, bool exact, const char* contract);
// Stops with LOCK_CONTRACT_BROKEN in `routine` when the calling thread holds `lock` and
// `held` is false, or does not hold it and `held` is true.
void CheckEntryLock(const char* routine, const KSPIN_LOCK* lock, bool held, const char* contract);
// The host's system-wide cancel spin lock, which _Global_cancel_spin_lock_ names in the checks.
KSPIN_LOCK* CancelSpinLockOfChecks();
}  // namespace host::ke

#define _Global_cancel_spin_lock_ (*host::ke::CancelSpinLockOfChecks())

#define ENTRY_IRQL_REQUIRES(level) \
  host::ke::CheckEntryIrql(__func__, (level), true, "_IRQL_requires_(" #level ")")
#define ENTRY_IRQL_REQUIRES_MAX(level) \
  host::ke::CheckEntryIrql(__func__, (level), false, "_IRQL_requires_max_(" #level ")")
#define ENTRY_REQUIRES_LOCK_HELD(lock) \
  host::ke::CheckEntryLock(__func__, &(lock), true, "_Requires_lock_held_(" #lock ")")
#define ENTRY_REQUIRES_LOCK_NOT_HELD(lock) \
  host::ke::CheckEntryLock(__func__, &(lock), false, "_Requires_lock_not_held_(" #lock ")")

#endif
