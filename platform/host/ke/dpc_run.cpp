// The running of deferred calls: a routine's call at DISPATCH_LEVEL under the verifier, the
// manual queue's runs on the thread that drives the host, and a live thread's runs of its own
// queue as its IRQL drops below DISPATCH_LEVEL.
#include "host/ke/dpc_queue.h"
#include "host/ke/processor_region.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke::detail {

void CallDpcRoutine(const DpcCall& call) {
  ThreadState& state = CurrentThreadState();
  const KIRQL previous = RaiseIrqlFor(DISPATCH_LEVEL, "deferred call", nullptr);
  const size_t locksBefore = state.heldLocks.size();
  EnterProcessorRegion();
  call.routine(call.dpc, call.context, call.argument1, call.argument2);
  // The routine is named only for a stop: looking up a symbol on every call costs more than
  // most deferred calls do.
  auto routine = [&call] { return verifier::DescribeCode(reinterpret_cast<void*>(call.routine)); };
  if (state.irql != DISPATCH_LEVEL) {
    verifier::Stop("IRQL_CHANGED_BY_DPC", routine().c_str(),
                   "deferred call returned at IRQL %u instead of DISPATCH_LEVEL", state.irql);
  }
  if (state.heldLocks.size() != locksBefore) {
    verifier::Stop("SPIN_LOCK_HELD_AT_DPC_RETURN", routine().c_str(),
                   "deferred call returned holding %s",
                   verifier::DescribeData(state.heldLocks.back()).c_str());
  }
  LowerIrqlFor(previous, "deferred call", nullptr);
}

size_t RunQueuedDpcsLocked(DispatcherGuard& lock) {
  size_t runs = 0;
  DpcCall call;
  while (TakeManualDpcLocked(&call)) {
    lock.unlock();
    CallDpcRoutine(call);
    lock.lock();
    FinishManualDpcLocked(call.dpc);
    ++runs;
  }
  return runs;
}

// The level is lowered inside the loop by each call's own return to the caller's level; the
// flag keeps that from running the queue again underneath, so each call runs at the outer
// loop's turn, in queue order.
void RunThreadDpcs() {
  ThreadState& state = CurrentThreadState();
  if (!state.dpcsQueued || state.runningDpcs) return;
  state.runningDpcs = true;
  DispatcherGuard lock(DispatcherLock());
  DpcCall call;
  while (TakeThreadDpcLocked(&call)) {
    lock.unlock();
    CallDpcRoutine(call);
    lock.lock();
    FinishThreadDpcLocked();
  }
  state.dpcsQueued = false;
  state.runningDpcs = false;
}

}  // namespace host::ke::detail
