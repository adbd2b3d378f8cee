// Internal to the host: not for driver code, tests or tools.
// The dispatcher: one host mutex over the manual clock, the timer and deferred-call queues,
// the signal states of waitable objects and the threads waiting on them. It is never held
// while driver code runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "host/ddk/ke.h"

namespace host::ke::detail {

std::mutex& DispatcherLock();
using DispatcherGuard = std::unique_lock<std::mutex>;

// One thread waiting on one object. `notifying` is set while a waker that satisfied the wait
// under the lock has yet to notify it after releasing the lock; the waiter keeps the block
// until it is clear.
struct WaitBlock {
  DISPATCHER_HEADER* object = nullptr;
  std::condition_variable wake;
  bool satisfied = false;
  std::atomic<bool> notifying{false};
};

// Waiters a signal satisfied, woken once the dispatcher lock is released (a waiter woken under
// the lock would at once block on it again: two wake-ups instead of one). Declared before the
// guard, so that its destructor runs after the guard's.
class DeferredWakes {
 public:
  DeferredWakes() = default;
  DeferredWakes(const DeferredWakes&) = delete;
  DeferredWakes& operator=(const DeferredWakes&) = delete;
  ~DeferredWakes();
  // Dispatcher lock held. False when full: the caller notifies the block itself.
  bool Add(WaitBlock* block);

 private:
  static constexpr int kCapacity = 4;
  WaitBlock* blocks_[kCapacity] = {};
  int count_ = 0;
};

// True for the kinds whose signal a satisfied wait consumes (synchronization events and
// timers); false for notification events and timers and for threads.
bool ConsumesSignal(const DISPATCHER_HEADER* header);
// True when the header carries one of the waitable kinds and an initialised wait list.
bool IsWaitable(const DISPATCHER_HEADER* header);

// Dispatcher lock held for all of these.
void AddWaiterLocked(WaitBlock* block);
void RemoveWaiterLocked(WaitBlock* block);
// The object's SignalState is non-zero: releases its waiters, all of them for notification
// kinds, one (consuming the signal) for synchronization kinds. With `later`, the waiters are
// woken when it is destroyed, after the lock; without, at once.
void ReleaseWaitersLocked(DISPATCHER_HEADER* header, DeferredWakes* later = nullptr);
// Waiters with a time-out, woken whenever the clock moves or changes mode so that they compare
// their deadline with it again.
void AddTimedWaiterLocked(WaitBlock* block);
void RemoveTimedWaiterLocked(WaitBlock* block);
void WakeTimedWaitersLocked();

}  // namespace host::ke::detail
