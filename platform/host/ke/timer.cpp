// One-shot timers on the host clock. An armed timer sits in a due-ordered queue; at expiry it
// is signalled and its deferred call is queued. Negative due times are relative, others are
// absolute system times.
#include <cstdint>
#include <map>
#include <utility>

#include "host/ke/clock_internal.h"
#include "host/ke/dpc_queue.h"
#include "host/ke/timer_queue.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke::detail {

namespace {

using DueKey = std::pair<int64_t, uint64_t>;  // due time, then order of arming

struct TimerQueue {
  std::map<DueKey, PKTIMER> byDue;
  std::map<PKTIMER, DueKey> armed;
  uint64_t armings = 0;
  std::condition_variable changed;
  // The due time the live timer thread sleeps until (INT64_MAX: until a timer is armed), or
  // INT64_MIN while it is awake: it looks at the queue again before it sleeps.
  int64_t threadSleepsUntil = INT64_MIN;
};

TimerQueue& Queue() {
  static TimerQueue* queue = new TimerQueue;
  return *queue;
}

bool DisarmLocked(PKTIMER timer) {
  TimerQueue& queue = Queue();
  auto it = queue.armed.find(timer);
  if (it == queue.armed.end()) return false;
  queue.byDue.erase(it->second);
  queue.armed.erase(it);
  timer->Header.Inserted = 0;
  return true;
}

void RequireTimer(PKTIMER timer, const char* routine, const void* caller) {
  const DISPATCHER_HEADER& header = timer->Header;
  const bool isTimer = header.Type == HOST_TIMER_NOTIFICATION_OBJECT ||
                       header.Type == HOST_TIMER_SYNCHRONIZATION_OBJECT;
  if (!isTimer || header.WaitListHead.Flink != &timer->Header.WaitListHead) {
    verifier::Stop("OBJECT_NOT_INITIALIZED", routine, "%s is not an initialised timer%s",
                   verifier::DescribeData(timer).c_str(), verifier::CalledFrom(caller).c_str());
  }
}

}  // namespace

bool EarliestDueLocked(int64_t* due) {
  TimerQueue& queue = Queue();
  if (queue.byDue.empty()) return false;
  *due = queue.byDue.begin()->first.first;
  return true;
}

size_t ExpireDueTimersLocked(int64_t now) {
  TimerQueue& queue = Queue();
  size_t expired = 0;
  while (!queue.byDue.empty() && queue.byDue.begin()->first.first <= now) {
    PKTIMER timer = queue.byDue.begin()->second;
    DisarmLocked(timer);
    timer->Header.SignalState = 1;
    ReleaseWaitersLocked(&timer->Header);
    if (timer->Dpc != nullptr) {
      const auto time = static_cast<uint64_t>(now);
      InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(time & 0xFFFFFFFFu)),
                      reinterpret_cast<PVOID>(static_cast<uintptr_t>(time >> 32)));
    }
    ++expired;
  }
  return expired;
}

void WaitForNextDueLocked(DispatcherGuard& lock) {
  TimerQueue& queue = Queue();
  int64_t due = 0;
  if (EarliestDueLocked(&due)) {
    queue.threadSleepsUntil = due;
    queue.changed.wait_until(lock, RealTimeFor(due));
  } else {
    queue.threadSleepsUntil = INT64_MAX;
    queue.changed.wait(lock);
  }
  queue.threadSleepsUntil = INT64_MIN;
}

size_t ArmedTimerCountLocked() { return Queue().armed.size(); }

std::vector<ArmedTimer> ArmedTimersLocked() {
  std::vector<ArmedTimer> timers;
  for (const auto& [key, timer] : Queue().byDue) {
    timers.push_back(ArmedTimer{timer, key.first, timer->Dpc});
  }
  return timers;
}

bool AnyTimerArmedInLocked(const void* begin, size_t bytes) {
  TimerQueue& queue = Queue();
  const auto first = reinterpret_cast<uintptr_t>(begin);
  auto it = queue.armed.lower_bound(static_cast<PKTIMER>(const_cast<void*>(begin)));
  return it != queue.armed.end() && reinterpret_cast<uintptr_t>(it->first) - first < bytes;
}

void ForgetTimersLocked() {
  TimerQueue& queue = Queue();
  queue.byDue.clear();
  queue.armed.clear();
  queue.changed.notify_all();
}

std::condition_variable& TimersChanged() { return Queue().changed; }

}  // namespace host::ke::detail

namespace host::ke {

bool AnyArmedTimerIn(const void* begin, size_t bytes) {
  detail::DispatcherGuard lock(detail::DispatcherLock());
  return detail::AnyTimerArmedInLocked(begin, bytes);
}

}  // namespace host::ke

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  using namespace host::ke::detail;
  DispatcherGuard lock(DispatcherLock());
  // A timer re-initialised while armed leaves the queue rather than fire stale.
  DisarmLocked(Timer);
  Timer->Header.Type = Type == SynchronizationTimer ? HOST_TIMER_SYNCHRONIZATION_OBJECT
                                                    : HOST_TIMER_NOTIFICATION_OBJECT;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = static_cast<UCHAR>(sizeof(KTIMER) / sizeof(LONG));
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  using namespace host::ke::detail;
  RequireTimer(Timer, "KeSetTimer", HOST_CALLER());
  DispatcherGuard lock(DispatcherLock());
  const bool wasArmed = DisarmLocked(Timer);
  int64_t due = DueTime.QuadPart;
  if (due < 0) {
    const int64_t now = Now();
    due = due == INT64_MIN || now > INT64_MAX + due ? INT64_MAX : now - due;
  }
  TimerQueue& queue = Queue();
  const DueKey key{due, queue.armings++};
  Timer->DueTime.QuadPart = due;
  Timer->Dpc = Dpc;
  Timer->Header.Absolute = DueTime.QuadPart >= 0 ? 1 : 0;
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = 1;
  queue.byDue.emplace(key, Timer);
  queue.armed.emplace(Timer, key);
  // The timer thread sleeps until the earliest due time it saw; only an earlier one needs it
  // now. A timer re-armed later than it was (an acknowledgement timer on every packet) leaves
  // the thread asleep: it wakes once at the old time and sleeps again.
  if (due < queue.threadSleepsUntil) queue.changed.notify_all();
  return wasArmed ? TRUE : FALSE;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  using namespace host::ke::detail;
  RequireTimer(Timer, "KeCancelTimer", HOST_CALLER());
  DispatcherGuard lock(DispatcherLock());
  return DisarmLocked(Timer) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  using namespace host::ke::detail;
  RequireTimer(Timer, "KeReadStateTimer", HOST_CALLER());
  DispatcherGuard lock(DispatcherLock());
  return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

}  // extern "C"
