// Internal to the host: not for driver code, tests or tools.
// The deferred-call queue as the rest of the executive drives it: insertion by timers, the
// taking and running of calls by the live workers and the manual drivers, and the queries of
// the verifier. Dispatcher lock held where the name says Locked.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <vector>

#include "host/ke/dispatcher.h"

namespace host::detail {

// One run of a deferred call, with the arguments it was queued with.
struct DpcCall {
  PKDPC dpc = nullptr;
  PKDEFERRED_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
};

bool InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2);
// Takes the first queued call that is not running right now and marks it running; false when
// there is none. A call never runs twice at once: queued again while it runs, it runs again
// after the current run.
bool TakeDpcLocked(DpcCall* call);
// Runs a taken call on the calling thread at DISPATCH_LEVEL (dispatcher lock not held), then
// marks it finished (the lock is taken for that).
void RunDpc(const DpcCall& call);
// Runs queued calls on the calling thread until none is left; returns how many ran. Called
// with the lock held; drops it around every routine.
size_t RunQueuedDpcsLocked(DispatcherGuard& lock);

size_t QueuedDpcCountLocked();
// Calls queued or running, for the verifier.
std::vector<DpcCall> AliveDpcsLocked();
bool AnyDpcAliveInLocked(const void* begin, size_t bytes);
// Forgets every queued call without touching its KDPC (the memory may be gone).
void ForgetDpcsLocked();

// Signalled whenever a call becomes runnable (live workers wait on it).
std::condition_variable& DpcRunnable();

}  // namespace host::detail
