// Deferred procedure calls: a queue of KDPCs, each at most once; routines run at
// DISPATCH_LEVEL on a live worker or, in manual mode, on the thread that drives the host.
#include <iterator>
#include <list>
#include <map>

#include "host/ke/dpc_queue.h"
#include "host/ke/processor_region.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::detail {

namespace {

// The kernel's object type number of a deferred call.
constexpr UCHAR kDpcObjectType = 19;

struct DpcQueue {
  std::list<PKDPC> order;
  std::map<PKDPC, std::list<PKDPC>::iterator> queued;
  std::map<PKDPC, DpcCall> running;
  std::condition_variable runnable;
};

DpcQueue& Queue() {
  static DpcQueue* queue = new DpcQueue;
  return *queue;
}

}  // namespace

bool InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2) {
  DpcQueue& queue = Queue();
  if (queue.queued.count(dpc) != 0) return false;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = dpc;
  queue.queued.emplace(dpc, queue.order.insert(queue.order.end(), dpc));
  if (queue.running.count(dpc) == 0) queue.runnable.notify_one();
  return true;
}

bool TakeDpcLocked(DpcCall* call) {
  DpcQueue& queue = Queue();
  for (auto it = queue.order.begin(); it != queue.order.end(); ++it) {
    PKDPC dpc = *it;
    if (queue.running.count(dpc) != 0) continue;
    queue.order.erase(it);
    queue.queued.erase(dpc);
    dpc->DpcData = nullptr;
    *call = DpcCall{dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1,
                    dpc->SystemArgument2};
    queue.running.emplace(dpc, *call);
    return true;
  }
  return false;
}

void RunDpc(const DpcCall& call) {
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
  DispatcherGuard lock(DispatcherLock());
  DpcQueue& queue = Queue();
  queue.running.erase(call.dpc);
  if (queue.queued.count(call.dpc) != 0) queue.runnable.notify_one();
}

size_t RunQueuedDpcsLocked(DispatcherGuard& lock) {
  size_t runs = 0;
  DpcCall call;
  while (TakeDpcLocked(&call)) {
    lock.unlock();
    RunDpc(call);
    lock.lock();
    ++runs;
  }
  return runs;
}

size_t QueuedDpcCountLocked() { return Queue().queued.size(); }

std::vector<DpcCall> AliveDpcsLocked() {
  DpcQueue& queue = Queue();
  std::vector<DpcCall> alive;
  for (PKDPC dpc : queue.order) {
    alive.push_back(DpcCall{dpc, dpc->DeferredRoutine, dpc->DeferredContext,
                            dpc->SystemArgument1, dpc->SystemArgument2});
  }
  for (const auto& [dpc, call] : queue.running) {
    if (queue.queued.count(dpc) == 0) alive.push_back(call);
  }
  return alive;
}

bool AnyDpcAliveInLocked(const void* begin, size_t bytes) {
  DpcQueue& queue = Queue();
  const auto first = reinterpret_cast<uintptr_t>(begin);
  auto inRange = [&](PKDPC dpc) {
    const auto at = reinterpret_cast<uintptr_t>(dpc);
    return at >= first && at - first < bytes;
  };
  for (const auto& entry : queue.queued) {
    if (inRange(entry.first)) return true;
  }
  for (const auto& entry : queue.running) {
    if (inRange(entry.first)) return true;
  }
  return false;
}

void ForgetDpcsLocked() {
  DpcQueue& queue = Queue();
  queue.order.clear();
  queue.queued.clear();
}

std::condition_variable& DpcRunnable() { return Queue().runnable; }

}  // namespace host::detail

namespace host {

bool AnyQueuedDpcIn(const void* begin, size_t bytes) {
  detail::DispatcherGuard lock(detail::DispatcherLock());
  return detail::AnyDpcAliveInLocked(begin, bytes);
}

}  // namespace host

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                           PVOID DeferredContext) {
  using namespace host::detail;
  DispatcherGuard lock(DispatcherLock());
  // A call re-initialised while still queued leaves the queue rather than run stale.
  DpcQueue& queue = Queue();
  auto it = queue.queued.find(Dpc);
  if (it != queue.queued.end()) {
    queue.order.erase(it->second);
    queue.queued.erase(it);
  }
  Dpc->Type = kDpcObjectType;
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  using namespace host::detail;
  if (Dpc->Type != kDpcObjectType || Dpc->DeferredRoutine == nullptr) {
    host::verifier::Stop("OBJECT_NOT_INITIALIZED", "KeInsertQueueDpc",
                         "%s is not an initialised deferred call%s",
                         host::verifier::DescribeData(Dpc).c_str(),
                         host::verifier::CalledFrom(HOST_CALLER()).c_str());
  }
  DispatcherGuard lock(DispatcherLock());
  return InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  using namespace host::detail;
  DispatcherGuard lock(DispatcherLock());
  DpcQueue& queue = Queue();
  auto it = queue.queued.find(Dpc);
  if (it == queue.queued.end()) return FALSE;
  queue.order.erase(it->second);
  queue.queued.erase(it);
  Dpc->DpcData = nullptr;
  return TRUE;
}

}  // extern "C"
