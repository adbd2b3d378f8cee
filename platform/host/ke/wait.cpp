// Waiting on dispatcher objects (events, timers, threads) and the release of their waiters.
// A wait sleeps on its own condition variable under the dispatcher lock; signalling hands the
// object to the waiters it satisfies. Time-outs count on the host clock in both modes.
#include <limits>
#include <list>
#include <set>
#include <thread>
#include <unordered_map>

#include "host/ke/clock_internal.h"
#include "host/ke/dispatcher.h"
#include "host/ke/thread_state.h"
#include "host/ke/waiter_count.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke::detail {

namespace {

struct Waiters {
  std::unordered_map<DISPATCHER_HEADER*, std::list<WaitBlock*>> byObject;
  std::set<WaitBlock*> timed;
};

Waiters& AllWaiters() {
  static Waiters* waiters = new Waiters;
  return *waiters;
}

// The absolute deadline of a time-out: negative values are relative to now.
int64_t DeadlineOf(int64_t timeout) {
  if (timeout >= 0) return timeout;
  const int64_t now = Now();
  if (timeout < std::numeric_limits<int64_t>::min() + 1 ||
      now > std::numeric_limits<int64_t>::max() + timeout) {
    return std::numeric_limits<int64_t>::max();
  }
  return now - timeout;
}

}  // namespace

std::mutex& DispatcherLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

bool ConsumesSignal(const DISPATCHER_HEADER* header) {
  return header->Type == HOST_EVENT_SYNCHRONIZATION_OBJECT ||
         header->Type == HOST_TIMER_SYNCHRONIZATION_OBJECT;
}

bool IsWaitable(const DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case HOST_EVENT_NOTIFICATION_OBJECT:
    case HOST_EVENT_SYNCHRONIZATION_OBJECT:
    case HOST_THREAD_OBJECT:
    case HOST_TIMER_NOTIFICATION_OBJECT:
    case HOST_TIMER_SYNCHRONIZATION_OBJECT:
      return header->WaitListHead.Flink == &header->WaitListHead;
    default:
      return false;
  }
}

void AddWaiterLocked(WaitBlock* block) {
  AllWaiters().byObject[block->object].push_back(block);
}

void RemoveWaiterLocked(WaitBlock* block) {
  auto& byObject = AllWaiters().byObject;
  auto it = byObject.find(block->object);
  if (it == byObject.end()) return;
  it->second.remove(block);
  if (it->second.empty()) byObject.erase(it);
}

bool DeferredWakes::Add(WaitBlock* block) {
  if (count_ == kCapacity) return false;
  block->notifying.store(true, std::memory_order_relaxed);
  blocks_[count_++] = block;
  return true;
}

DeferredWakes::~DeferredWakes() {
  for (int i = 0; i < count_; i++) {
    blocks_[i]->wake.notify_one();
    blocks_[i]->notifying.store(false, std::memory_order_release);  // the last touch of it
  }
}

void ReleaseWaitersLocked(DISPATCHER_HEADER* header, DeferredWakes* later) {
  auto& byObject = AllWaiters().byObject;
  auto it = byObject.find(header);
  if (it == byObject.end()) return;
  std::list<WaitBlock*>& queue = it->second;
  while (header->SignalState > 0 && !queue.empty()) {
    WaitBlock* block = queue.front();
    queue.pop_front();
    block->satisfied = true;
    if (later == nullptr || !later->Add(block)) block->wake.notify_one();
    if (ConsumesSignal(header)) header->SignalState = 0;
  }
  if (queue.empty()) byObject.erase(it);
}

void AddTimedWaiterLocked(WaitBlock* block) { AllWaiters().timed.insert(block); }

void RemoveTimedWaiterLocked(WaitBlock* block) { AllWaiters().timed.erase(block); }

void WakeTimedWaitersLocked() {
  for (WaitBlock* block : AllWaiters().timed) block->wake.notify_one();
}

}  // namespace host::ke::detail

namespace host::ke {

size_t WaitersOn(const void* object) {
  detail::DispatcherGuard lock(detail::DispatcherLock());
  auto& byObject = detail::AllWaiters().byObject;
  auto it = byObject.find(static_cast<DISPATCHER_HEADER*>(const_cast<void*>(object)));
  return it == byObject.end() ? 0 : it->second.size();
}

}  // namespace host::ke

extern "C" {

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  using namespace host::ke::detail;
  (void)WaitReason;
  (void)WaitMode;
  const void* caller = HOST_CALLER();
  PayOwedWait(caller);
  if (Alertable) {
    // An alertable wait can also end with STATUS_ALERTED or STATUS_USER_APC, which the host
    // never delivers: a caller that does not handle those would pass here and fail there.
    host::verifier::Stop("ALERTABLE_WAIT_NOT_MODELLED", "KeWaitForSingleObject",
                         "an alertable wait on %s: the host delivers no alerts or APCs%s",
                         host::verifier::DescribeData(Object).c_str(),
                         host::verifier::CalledFrom(caller).c_str());
  }
  const KIRQL irql = CurrentThreadState().irql;
  if (irql >= DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0)) {
    host::verifier::Stop("WAIT_AT_DISPATCH_LEVEL", "KeWaitForSingleObject",
                         "a wait %s at IRQL %u on %s%s",
                         Timeout == nullptr ? "without time-out" : "with a non-zero time-out",
                         irql, host::verifier::DescribeData(Object).c_str(),
                         host::verifier::CalledFrom(caller).c_str());
  }
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  if (!IsWaitable(header)) {
    host::verifier::Stop("OBJECT_NOT_WAITABLE", "KeWaitForSingleObject",
                         "%s is not an initialised event, timer or thread (type %u)%s",
                         host::verifier::DescribeData(Object).c_str(), header->Type,
                         host::verifier::CalledFrom(caller).c_str());
  }

  DispatcherGuard lock(DispatcherLock());
  if (header->SignalState > 0) {
    if (ConsumesSignal(header)) header->SignalState = 0;
    return STATUS_SUCCESS;
  }
  if (Timeout != nullptr && Timeout->QuadPart == 0) return STATUS_TIMEOUT;
  const bool timed = Timeout != nullptr;
  const int64_t deadline = timed ? DeadlineOf(Timeout->QuadPart) : 0;

  WaitBlock block;
  block.object = header;
  AddWaiterLocked(&block);
  if (timed) AddTimedWaiterLocked(&block);
  NTSTATUS status = STATUS_SUCCESS;
  for (;;) {
    if (block.satisfied) break;
    if (timed && Now() >= deadline) {
      RemoveWaiterLocked(&block);
      status = STATUS_TIMEOUT;
      break;
    }
    if (timed && ClockIsLive()) {
      block.wake.wait_until(lock, RealTimeFor(deadline));
    } else {
      block.wake.wait(lock);
    }
  }
  if (timed) RemoveTimedWaiterLocked(&block);
  lock.unlock();
  // A waker that satisfied the wait may still be about to notify the block.
  while (block.notifying.load(std::memory_order_acquire)) std::this_thread::yield();
  return status;
}

}  // extern "C"
