// Interrupt request level of each host thread. The level is bookkeeping: it decides what the
// verifier allows (waits, paged pool) and what spin locks and deferred calls restore; and a
// drop below DISPATCH_LEVEL is where the calls queued on the thread run, as on a processor.
#include "host/ke/dpc_queue.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke::detail {

namespace {
// Its address is the thread's spin-lock owner token, which must be 8-byte aligned (a lock word
// with low bits set counts as never initialised); the 32-bit ABI alone would give 4.
alignas(8) thread_local ThreadState tState;
}

ThreadState& CurrentThreadState() { return tState; }

ULONG_PTR CurrentOwnerToken() { return reinterpret_cast<ULONG_PTR>(&tState); }

void ResetCurrentThreadState() {
  tState.irql = PASSIVE_LEVEL;
  tState.heldLocks.clear();
  tState.dpcsQueued = false;
  tState.runningDpcs = false;
  tState.waitOwedBy = nullptr;
}

KIRQL RaiseIrqlFor(KIRQL newIrql, const char* routine, const void* caller) {
  RequireNoOwedWait(routine, caller);
  const KIRQL old = tState.irql;
  if (newIrql < old) {
    verifier::Stop("IRQL_NOT_GREATER_OR_EQUAL", routine, "raise to %u from the higher level %u%s",
                   newIrql, old, verifier::CalledFrom(caller).c_str());
  }
  tState.irql = newIrql;
  return old;
}

void LowerIrqlFor(KIRQL newIrql, const char* routine, const void* caller) {
  RequireNoOwedWait(routine, caller);
  const KIRQL old = tState.irql;
  if (newIrql > old) {
    verifier::Stop("IRQL_NOT_LESS_OR_EQUAL", routine, "lower to %u from the lower level %u%s",
                   newIrql, old, verifier::CalledFrom(caller).c_str());
  }
  if (newIrql < DISPATCH_LEVEL && !tState.heldLocks.empty()) {
    verifier::Stop("SPIN_LOCK_HELD_BELOW_DISPATCH_LEVEL", routine,
                   "lower to %u while holding %zu spin lock(s), the last %s%s", newIrql,
                   tState.heldLocks.size(),
                   verifier::DescribeData(tState.heldLocks.back()).c_str(),
                   verifier::CalledFrom(caller).c_str());
  }
  tState.irql = newIrql;
  if (newIrql < DISPATCH_LEVEL && tState.dpcsQueued) RunThreadDpcs();
}

void RequireIrqlAtMost(KIRQL highest, const char* routine, const void* caller) {
  RequireNoOwedWait(routine, caller);
  if (tState.irql > highest) {
    verifier::Stop("IRQL_NOT_LESS_OR_EQUAL", routine, "called at IRQL %u, above %u%s", tState.irql,
                   highest, verifier::CalledFrom(caller).c_str());
  }
}

void OweWait(const void* caller) {
  RequireIrqlAtMost(APC_LEVEL, "KeSetEvent", caller);
  tState.levelBeforeOwedWait = RaiseIrqlFor(DISPATCH_LEVEL, "KeSetEvent", caller);
  tState.waitOwedBy = caller;
}

void PayOwedWait(const void* caller) {
  if (tState.waitOwedBy == nullptr) return;
  tState.waitOwedBy = nullptr;
  LowerIrqlFor(tState.levelBeforeOwedWait, "KeWaitForSingleObject", caller);
}

void RequireNoOwedWait(const char* routine, const void* caller) {
  if (tState.waitOwedBy == nullptr) return;
  verifier::Stop("SET_EVENT_WAIT_NOT_FOLLOWED", routine,
                 "called while a wait is owed: KeSetEvent with Wait TRUE%s must be followed at "
                 "once by a wait%s",
                 verifier::CalledFrom(tState.waitOwedBy).c_str(),
                 verifier::CalledFrom(caller).c_str());
}

}  // namespace host::ke::detail

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return host::ke::detail::CurrentThreadState().irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  return host::ke::detail::RaiseIrqlFor(NewIrql, "KfRaiseIrql", HOST_CALLER());
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  host::ke::detail::LowerIrqlFor(NewIrql, "KfLowerIrql", HOST_CALLER());
}

}  // extern "C"
