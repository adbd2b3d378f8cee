// Internal to the host: not for driver code, tests or tools.
// The deferred-call queues as the rest of the executive drives them. Live mode: every host
// thread that runs driver code is a processor with a queue of its own; a call queued on a
// thread runs on it, in queue order, as soon as its IRQL drops below DISPATCH_LEVEL (the timer
// thread runs the calls of the timers it expires). The same call, queued again while it runs,
// may run on another thread at the same time, as on a multiprocessor. Manual mode: one queue
// that only the test's drivers run (AdvanceClock, RunQueuedDpcs), a call never twice at once.
// Dispatcher lock held where the name says Locked.
#pragma once

#include <cstddef>
#include <vector>

#include "host/ke/dispatcher.h"

namespace host::ke::detail {

// One run of a deferred call, with the arguments it was queued with.
struct DpcCall {
  PKDPC dpc = nullptr;
  PKDEFERRED_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
};

// Queues a call that is not queued yet (false when it is): on the manual queue in manual mode,
// on the calling thread's own queue in live mode. A call of high importance goes to the head.
bool InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2);

// Manual queue: takes the first queued call that is not running right now and marks it
// running; false when there is none. Queued again while it runs, a call runs again after the
// current run.
bool TakeManualDpcLocked(DpcCall* call);
void FinishManualDpcLocked(PKDPC dpc);
// The calling thread's queue: takes its first call and marks it running on this thread.
bool TakeThreadDpcLocked(DpcCall* call);
void FinishThreadDpcLocked();

// Calls a taken call's routine on the calling thread at DISPATCH_LEVEL (no host lock held),
// with the verifier's checks of its return: the level, and no spin lock left held.
void CallDpcRoutine(const DpcCall& call);
// Manual mode: runs queued calls on the calling thread until none is left; returns how many
// ran. Called with the lock held; drops it around every routine.
size_t RunQueuedDpcsLocked(DispatcherGuard& lock);
// Live mode: runs the calls queued on the calling thread, in queue order, those they queue
// included, until its queue is empty. No host lock held; the caller's IRQL is below
// DISPATCH_LEVEL. Does nothing inside a deferred call (one that lowered the level itself is
// stopped at its return) or when the thread queued nothing.
void RunThreadDpcs();

size_t QueuedDpcCountLocked();
// Calls queued or running, each once, for the verifier.
std::vector<DpcCall> AliveDpcsLocked();
bool AnyDpcAliveInLocked(const void* begin, size_t bytes);
// Forgets every queued call without touching its KDPC (the memory may be gone).
void ForgetDpcsLocked();

}  // namespace host::ke::detail
