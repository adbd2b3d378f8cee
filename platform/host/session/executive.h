// Control of the host executive by tests and programs: the two modes, the clock, and the
// manual driving of timers and deferred calls.
//
// Manual mode: no timer thread. The clock is virtual and moves only when a test advances it
// (or when a busy-wait stalls on it); timers expire and deferred calls run only inside
// AdvanceClock / RunQueuedDpcs, on the calling thread at dispatch level.
// Live mode: a timer thread; the clock is real time scaled by a speed factor (applied alike to
// timers, busy-waits and system time). Every thread that runs driver code is a processor for
// deferred calls: a call queued on it runs on it as soon as its IRQL drops below
// DISPATCH_LEVEL (at once when queued below it); the timer thread runs its timers' calls.
// System threads created by the driver are real threads in both modes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace host::session {

enum class Mode { Manual, Live };

struct LiveOptions {
  double speed = 1.0;  // virtual seconds per real second
};

// Starts the executive afresh in the chosen mode. Any earlier start must have been shut down.
void StartManual();
void StartLive(const LiveOptions& options = {});
// Stops the timer thread and forgets timers, deferred calls and per-thread state; pool accounting
// and the object namespace are left for the caller to inspect.
void Shutdown();
Mode CurrentMode();

// System time in 100-ns units since 1601 (what KeQuerySystemTime returns).
int64_t SystemTime();
// CPU time, in nanoseconds, that the driver's busy-waits (KeStallExecutionProcessor) have
// used in live mode since the process started: what the pauses cost, for measurements.
int64_t BusyWaitCpuTime();

// Manual mode: move the virtual clock forward by the given number of 100-ns units, expiring
// every timer that falls due on the way (in due order) and running the deferred calls that
// results in, each at dispatch level. Returns the number of deferred calls run.
size_t AdvanceClock(int64_t hundredNanoseconds);
// Manual mode: runs queued deferred calls (including any they queue) until none is left.
size_t RunQueuedDpcs();
// Manual mode: a routine run on the stalling thread after each busy-wait
// (KeStallExecutionProcessor) has moved the virtual clock, with no host lock held; null for
// none. Lets a test act at a chosen virtual time while driver code busy-waits, as another
// processor would. Forgotten when a session starts or shuts down.
void OnManualStall(std::function<void()> hook);

// Counts for tests: timers armed and deferred calls queued right now.
size_t ArmedTimerCount();
size_t QueuedDpcCount();

}  // namespace host::session
