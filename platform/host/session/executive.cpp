// The executive's two modes and their drivers: in live mode a timer thread, deferred calls
// running on the threads that queue them; in manual mode the test's own thread advances the
// virtual clock, expires timers and runs deferred calls.
#include "host/session/executive.h"

#include <atomic>
#include <thread>

#include "host/ex/pool_registry.h"
#include "host/ke/clock_internal.h"
#include "host/ke/dispatcher.h"
#include "host/ke/dpc_queue.h"
#include "host/ke/thread_state.h"
#include "host/ke/timer_queue.h"
#include "host/rtl/debug_output.h"
#include "host/verifier/verifier.h"

namespace host::session {

namespace {

using namespace ke::detail;

struct LiveWorkers {
  bool stopping = false;  // dispatcher lock
  std::thread timerThread;
};

LiveWorkers& Workers() {
  static auto* workers = new LiveWorkers;
  return *workers;
}

// Live mode: expires timers as the scaled clock reaches their due times and runs their
// deferred calls, which the expiry queued on this thread, as a processor runs those of the
// timers its clock interrupt expires.
void TimerThreadMain() {
  DispatcherGuard lock(DispatcherLock());
  while (!Workers().stopping) {
    ExpireDueTimersLocked(Now());
    lock.unlock();
    RunThreadDpcs();
    lock.lock();
    if (Workers().stopping) break;
    WaitForNextDueLocked(lock);
  }
}

void RequireManual(const char* routine) {
  if (ClockIsLive()) {
    verifier::Stop("HOST_MISUSE", routine, "the host runs in live mode; this drives manual mode");
  }
}

// Forgets timers and queued calls and restarts the per-session counters; lock held.
void ForgetSessionLocked() {
  ForgetTimersLocked();
  ForgetDpcsLocked();
}

void StartSession() {
  Shutdown();
  OnManualStall(nullptr);
  ex::detail::RestartPoolSession();
  rtl::ClearDebugOutput();
  ResetCurrentThreadState();
}

}  // namespace

void StartManual() {
  StartSession();
  DispatcherGuard lock(DispatcherLock());
  ForgetSessionLocked();
  StartManualClockLocked();
}

void StartLive(const LiveOptions& options) {
  StartSession();
  DispatcherGuard lock(DispatcherLock());
  ForgetSessionLocked();
  StartLiveClockLocked(options.speed);
  LiveWorkers& workers = Workers();
  workers.stopping = false;
  workers.timerThread = std::thread(TimerThreadMain);
}

void Shutdown() {
  LiveWorkers& workers = Workers();
  {
    DispatcherGuard lock(DispatcherLock());
    workers.stopping = true;
    TimersChanged().notify_all();
  }
  if (workers.timerThread.joinable()) workers.timerThread.join();
  DispatcherGuard lock(DispatcherLock());
  workers.stopping = false;
  ForgetSessionLocked();
  if (ClockIsLive()) FreezeClockLocked();
  lock.unlock();
  OnManualStall(nullptr);
  ResetCurrentThreadState();
}

void OnManualStall(std::function<void()> hook) { SetManualStallHook(std::move(hook)); }

Mode CurrentMode() { return ClockIsLive() ? Mode::Live : Mode::Manual; }

int64_t SystemTime() { return Now(); }

int64_t BusyWaitCpuTime() { return BusyWaitCpuNs(); }

size_t AdvanceClock(int64_t hundredNanoseconds) {
  RequireManual("AdvanceClock");
  DispatcherGuard lock(DispatcherLock());
  const int64_t target = Now() + (hundredNanoseconds > 0 ? hundredNanoseconds : 0);
  size_t runs = 0;
  for (;;) {
    int64_t due = 0;
    if (EarliestDueLocked(&due) && due <= target) {
      SetManualClockLocked(due);
      ExpireDueTimersLocked(Now());
    } else if (Now() < target) {
      SetManualClockLocked(target);
    } else if (QueuedDpcCountLocked() == 0) {
      break;
    }
    const size_t ran = RunQueuedDpcsLocked(lock);
    runs += ran;
    // Calls that could not be taken (running on another thread) end the advance.
    if (ran == 0 && QueuedDpcCountLocked() != 0 && Now() >= target &&
        !(EarliestDueLocked(&due) && due <= target)) {
      break;
    }
  }
  return runs;
}

size_t RunQueuedDpcs() {
  RequireManual("RunQueuedDpcs");
  DispatcherGuard lock(DispatcherLock());
  return RunQueuedDpcsLocked(lock);
}

size_t ArmedTimerCount() {
  DispatcherGuard lock(DispatcherLock());
  return ArmedTimerCountLocked();
}

size_t QueuedDpcCount() {
  DispatcherGuard lock(DispatcherLock());
  return QueuedDpcCountLocked();
}

}  // namespace host::session
