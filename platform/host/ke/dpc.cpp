// Deferred procedure calls: which queue a KDPC is on, each call on at most one, and the
// kernel's routines that initialise, queue and dequeue one. Live mode: a queue per host thread
// (a processor), whose calls the thread runs as its IRQL drops below DISPATCH_LEVEL
// (dpc_run.cpp); manual mode: one queue the test's drivers run. Dispatcher lock throughout.
#include <algorithm>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "host/ke/clock_internal.h"
#include "host/ke/dpc_queue.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke::detail {

namespace {

// The kernel's object type number of a deferred call.
constexpr UCHAR kDpcObjectType = 19;
// KDPC_IMPORTANCE: a call of high importance goes to the head of its queue; medium (what
// KeInitializeDpc sets) and low ones to the tail.
constexpr UCHAR kMediumImportance = 1;
constexpr UCHAR kHighImportance = 2;

using CallList = std::list<PKDPC>;

// The queue of one host thread, and the call it runs right now (dpc null when none).
struct ThreadQueue {
  CallList order;
  DpcCall running;
  bool registered = false;
  ~ThreadQueue();
};

struct DpcQueues {
  struct Place {
    CallList* list;
    CallList::iterator at;
  };
  CallList manual;
  std::map<PKDPC, DpcCall> manualRunning;
  std::unordered_map<PKDPC, Place> queued;
  std::vector<ThreadQueue*> threads;
};

DpcQueues& Queues() {
  static DpcQueues* queues = new DpcQueues;
  return *queues;
}

thread_local ThreadQueue tQueue;

// A processor that goes away with calls queued on it is not something the platform has: the
// thread ended at DISPATCH_LEVEL with work it owed.
ThreadQueue::~ThreadQueue() {
  if (!registered) return;
  DispatcherGuard lock(DispatcherLock());
  DpcQueues& queues = Queues();
  std::erase(queues.threads, this);
  if (!order.empty()) {
    const std::string routine =
        verifier::DescribeCode(reinterpret_cast<void*>(order.front()->DeferredRoutine));
    verifier::Stop("DPC_QUEUED_AT_THREAD_END", routine.c_str(),
                   "a thread ended with %zu deferred call(s) queued on it, never run", order.size());
  }
}

ThreadQueue& ThisThreadQueueLocked() {
  if (!tQueue.registered) {
    Queues().threads.push_back(&tQueue);
    tQueue.registered = true;
  }
  return tQueue;
}

DpcCall CallOf(PKDPC dpc) {
  return DpcCall{dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1,
                 dpc->SystemArgument2};
}

// Takes a queued call off its queue; false when it is on none.
bool DequeueLocked(PKDPC dpc) {
  DpcQueues& queues = Queues();
  auto it = queues.queued.find(dpc);
  if (it == queues.queued.end()) return false;
  it->second.list->erase(it->second.at);
  queues.queued.erase(it);
  dpc->DpcData = nullptr;
  return true;
}

}  // namespace

bool InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2) {
  DpcQueues& queues = Queues();
  if (queues.queued.count(dpc) != 0) return false;
  CallList* list = &queues.manual;
  if (ClockIsLive()) {
    list = &ThisThreadQueueLocked().order;
    CurrentThreadState().dpcsQueued = true;
  }
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = dpc;
  const auto at = list->insert(dpc->Importance == kHighImportance ? list->begin() : list->end(), dpc);
  queues.queued.emplace(dpc, DpcQueues::Place{list, at});
  return true;
}

bool TakeManualDpcLocked(DpcCall* call) {
  DpcQueues& queues = Queues();
  auto it = std::find_if(queues.manual.begin(), queues.manual.end(),
                         [&](PKDPC dpc) { return queues.manualRunning.count(dpc) == 0; });
  if (it == queues.manual.end()) return false;
  PKDPC dpc = *it;
  DequeueLocked(dpc);
  *call = CallOf(dpc);
  queues.manualRunning.emplace(dpc, *call);
  return true;
}

void FinishManualDpcLocked(PKDPC dpc) { Queues().manualRunning.erase(dpc); }

bool TakeThreadDpcLocked(DpcCall* call) {
  ThreadQueue& self = ThisThreadQueueLocked();
  if (self.order.empty()) return false;
  PKDPC dpc = self.order.front();
  DequeueLocked(dpc);
  *call = CallOf(dpc);
  self.running = *call;
  return true;
}

void FinishThreadDpcLocked() { tQueue.running = DpcCall{}; }

size_t QueuedDpcCountLocked() { return Queues().queued.size(); }

std::vector<DpcCall> AliveDpcsLocked() {
  DpcQueues& queues = Queues();
  std::vector<DpcCall> alive;
  std::set<PKDPC> seen;
  auto note = [&](const DpcCall& call) {
    if (seen.insert(call.dpc).second) alive.push_back(call);
  };
  for (PKDPC dpc : queues.manual) note(CallOf(dpc));
  for (const ThreadQueue* thread : queues.threads) {
    for (PKDPC dpc : thread->order) note(CallOf(dpc));
  }
  for (const auto& entry : queues.manualRunning) note(entry.second);
  for (const ThreadQueue* thread : queues.threads) {
    if (thread->running.dpc != nullptr) note(thread->running);
  }
  return alive;
}

bool AnyDpcAliveInLocked(const void* begin, size_t bytes) {
  DpcQueues& queues = Queues();
  const auto first = reinterpret_cast<uintptr_t>(begin);
  auto inRange = [&](PKDPC dpc) { return reinterpret_cast<uintptr_t>(dpc) - first < bytes; };
  for (const auto& entry : queues.queued) {
    if (inRange(entry.first)) return true;
  }
  for (const auto& entry : queues.manualRunning) {
    if (inRange(entry.first)) return true;
  }
  return std::any_of(queues.threads.begin(), queues.threads.end(), [&](const ThreadQueue* thread) {
    return thread->running.dpc != nullptr && inRange(thread->running.dpc);
  });
}

void ForgetDpcsLocked() {
  DpcQueues& queues = Queues();
  queues.manual.clear();
  for (ThreadQueue* thread : queues.threads) thread->order.clear();
  queues.queued.clear();
}

}  // namespace host::ke::detail

namespace host::ke {

bool AnyQueuedDpcIn(const void* begin, size_t bytes) {
  detail::DispatcherGuard lock(detail::DispatcherLock());
  return detail::AnyDpcAliveInLocked(begin, bytes);
}

}  // namespace host::ke

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                           PVOID DeferredContext) {
  using namespace host::ke::detail;
  DispatcherGuard lock(DispatcherLock());
  // A call re-initialised while still queued leaves the queue rather than run stale.
  DequeueLocked(Dpc);
  Dpc->Type = kDpcObjectType;
  Dpc->Importance = kMediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

// Any IRQL. Queued below DISPATCH_LEVEL in live mode, the call runs before this returns: the
// platform's insertion raises to DISPATCH_LEVEL and the call runs as the level drops back.
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  using namespace host::ke::detail;
  if (Dpc->Type != kDpcObjectType || Dpc->DeferredRoutine == nullptr) {
    host::verifier::Stop("OBJECT_NOT_INITIALIZED", "KeInsertQueueDpc",
                         "%s is not an initialised deferred call%s",
                         host::verifier::DescribeData(Dpc).c_str(),
                         host::verifier::CalledFrom(HOST_CALLER()).c_str());
  }
  DispatcherGuard lock(DispatcherLock());
  const bool inserted = InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2);
  lock.unlock();
  if (inserted && CurrentThreadState().irql < DISPATCH_LEVEL) RunThreadDpcs();
  return inserted ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  using namespace host::ke::detail;
  DispatcherGuard lock(DispatcherLock());
  return DequeueLocked(Dpc) ? TRUE : FALSE;
}

}  // extern "C"
