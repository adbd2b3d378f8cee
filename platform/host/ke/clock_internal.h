// Internal to the host: not for driver code, tests or tools.
// The host clock behind KeQuerySystemTime: virtual in manual mode (it moves only when told),
// real time times a speed factor in live mode.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace host::ke::detail {

// Manual mode starts at 2024-01-01 00:00:00 UTC, in 100-ns units since 1601.
constexpr int64_t kManualClockOrigin = 133485408000000000LL;

// System time now, in 100-ns units since 1601. Any thread, no lock.
int64_t Now();
bool ClockIsLive();

// Dispatcher lock held: switch the clock to manual at the origin, or to live (wall-clock time
// now, moving `speed` virtual seconds per real second), or freeze it where it stands (manual).
void StartManualClockLocked();
void StartLiveClockLocked(double speed);
void FreezeClockLocked();
// Manual mode, dispatcher lock held: move the virtual clock to a later time (an earlier one is
// ignored); timed waiters are woken to look at it.
void SetManualClockLocked(int64_t systemTime);

// Manual mode: the routine each busy-wait runs after moving the clock (null: none), and its
// run (no lock held).
void SetManualStallHook(std::function<void()> hook);
void RunManualStallHook();

// CPU time (nanoseconds) that threads have spent in live busy-waits since the process started.
int64_t BusyWaitCpuNs();

// Live mode: the real instant at which the clock reads the given system time.
std::chrono::steady_clock::time_point RealTimeFor(int64_t systemTime);

}  // namespace host::ke::detail
