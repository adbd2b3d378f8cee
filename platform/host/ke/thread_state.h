// Internal to the host: not for driver code, tests or tools.
// What the executive keeps for each host thread: its interrupt request level, the spin locks
// it holds (in acquisition order), for system threads its thread object, and whether
// deferred calls wait on it for its level to drop.
#pragma once

#include <vector>

#include "host/ddk/ke.h"

namespace host::ps::detail {
class ThreadObject;
}  // namespace host::ps::detail

namespace host::ke::detail {

struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> heldLocks;
  ps::detail::ThreadObject* systemThread = nullptr;  // set for threads made by PsCreateSystemThread
  // Live mode: deferred calls may be queued on this thread (set by their insertion, cleared
  // once its queue ran empty), and the thread is running its queue right now.
  bool dpcsQueued = false;
  bool runningDpcs = false;
  // Set by KeSetEvent with Wait TRUE, which returns at DISPATCH_LEVEL: its caller, and the
  // level the wait that must come next returns the thread to. Null when no wait is owed.
  const void* waitOwedBy = nullptr;
  KIRQL levelBeforeOwedWait = PASSIVE_LEVEL;
};

// The calling thread's state.
ThreadState& CurrentThreadState();
// A non-zero value unique to the calling thread: what an owned KSPIN_LOCK holds.
ULONG_PTR CurrentOwnerToken();
// Puts the calling thread back at PASSIVE_LEVEL holding nothing (a fresh start of the host).
void ResetCurrentThreadState();

// IRQL changes on behalf of a named kernel routine (for the verifier's message). Raising to a
// lower level or lowering to a higher one stops the host, as does lowering below
// DISPATCH_LEVEL while spin locks are held. Lowering below DISPATCH_LEVEL runs the deferred
// calls queued on the thread (live mode) before it returns.
KIRQL RaiseIrqlFor(KIRQL newIrql, const char* routine, const void* caller);
void LowerIrqlFor(KIRQL newIrql, const char* routine, const void* caller);
// Stops with IRQL_NOT_LESS_OR_EQUAL when the caller runs above the given level.
void RequireIrqlAtMost(KIRQL highest, const char* routine, const void* caller);

// KeSetEvent with Wait TRUE: the thread stays at DISPATCH_LEVEL and its next kernel call must
// be a wait. OweWait raises and records the caller; PayOwedWait, at the start of a wait, puts
// the level back; RequireNoOwedWait stops any other routine called while a wait is owed.
void OweWait(const void* caller);
void PayOwedWait(const void* caller);
void RequireNoOwedWait(const char* routine, const void* caller);

}  // namespace host::ke::detail
