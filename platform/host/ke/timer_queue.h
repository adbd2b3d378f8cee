// Internal to the host: not for driver code, tests or tools.
// The armed timers in due order, as the executive's drivers (the live timer thread, the manual
// clock advance) and the verifier see them. Dispatcher lock held.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/ke/dispatcher.h"

namespace host::ke::detail {

struct ArmedTimer {
  PKTIMER timer;
  int64_t due;  // absolute system time
  PKDPC dpc;
};

// The due time of the earliest armed timer; false when none is armed.
bool EarliestDueLocked(int64_t* due);
// Expires, in due order, every timer due at or before `now`: the timer is signalled and its
// deferred call queued. Returns the number expired.
size_t ExpireDueTimersLocked(int64_t now);
// Live timer thread: sleeps until the earliest due time, or until a timer is armed earlier
// than that (or the thread is told to stop through TimersChanged).
void WaitForNextDueLocked(DispatcherGuard& lock);
size_t ArmedTimerCountLocked();
std::vector<ArmedTimer> ArmedTimersLocked();
bool AnyTimerArmedInLocked(const void* begin, size_t bytes);
// Forgets every armed timer without touching its KTIMER (the memory may be gone).
void ForgetTimersLocked();

// Signalled when a timer is armed earlier than the timer thread sleeps, and to stop it.
std::condition_variable& TimersChanged();

}  // namespace host::ke::detail
