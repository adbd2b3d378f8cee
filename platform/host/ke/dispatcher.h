// Internal to the host: not for driver code, tests or tools.
// The dispatcher: one host mutex over the manual clock, the timer and deferred-call queues,
// the signal states of waitable objects and the threads waiting on them. It is never held
// while driver code runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "host/ddk/ke.h"

namespace host::detail {

std::mutex& DispatcherLock();
using DispatcherGuard = std::unique_lock<std::mutex>;

// One thread waiting on one object.
struct WaitBlock {
  DISPATCHER_HEADER* object = nullptr;
  std::condition_variable wake;
  bool satisfied = false;
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
// kinds, one (consuming the signal) for synchronization kinds.
void ReleaseWaitersLocked(DISPATCHER_HEADER* header);
// Waiters with a time-out, woken whenever the clock moves or changes mode so that they compare
// their deadline with it again.
void AddTimedWaiterLocked(WaitBlock* block);
void RemoveTimedWaiterLocked(WaitBlock* block);
void WakeTimedWaitersLocked();

}  // namespace host::detail
