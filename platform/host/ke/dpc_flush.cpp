// KeFlushQueuedDpcs: returns once every deferred call that was queued or running when it was
// called has run. In manual mode (a virtual clock) the calling thread runs the queued calls
// itself (at dispatch level); in live mode it waits for the threads they are queued or running
// on, each of which runs its queue as its level drops. PASSIVE_LEVEL.
#include <algorithm>
#include <chrono>
#include <thread>

#include "host/ke/clock_internal.h"
#include "host/ke/dispatcher.h"
#include "host/ke/dpc_queue.h"
#include "host/ke/irql_checks.h"

extern "C" VOID NTAPI KeFlushQueuedDpcs(VOID) {
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IRQL_NOT_LESS_OR_EQUAL", "KeFlushQueuedDpcs");
  using namespace host::ke::detail;
  DispatcherGuard lock(DispatcherLock());
  if (!ClockIsLive()) {
    RunQueuedDpcsLocked(lock);
    return;
  }
  std::vector<PKDPC> pending;
  for (const DpcCall& call : AliveDpcsLocked()) pending.push_back(call.dpc);
  while (!pending.empty()) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    lock.lock();
    std::vector<DpcCall> alive = AliveDpcsLocked();
    std::erase_if(pending, [&](PKDPC dpc) {
      return std::none_of(alive.begin(), alive.end(), [&](const DpcCall& c) { return c.dpc == dpc; });
    });
  }
}
