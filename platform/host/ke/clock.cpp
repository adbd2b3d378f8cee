// System time and busy-waits on the host clock.
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/ke/clock_internal.h"
#include "host/ke/dispatcher.h"
#include "kernel.h"

namespace host::ke::detail {

namespace {

constexpr int64_t kUnixEpochIn1601 = 116444736000000000LL;

struct ClockState {
  std::atomic<bool> live{false};
  std::atomic<int64_t> manualNow{kManualClockOrigin};
  // Live mode: system time `liveBase` at steady-clock nanosecond `liveStartNs`.
  std::atomic<int64_t> liveBase{0};
  std::atomic<int64_t> liveStartNs{0};
  std::atomic<double> speed{1.0};
};

ClockState& Clock() {
  static ClockState* clock = new ClockState;
  return *clock;
}

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t WallClockSystemTime() {
  const auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  return kUnixEpochIn1601 + sinceUnix / 100;
}

}  // namespace

int64_t Now() {
  ClockState& clock = Clock();
  if (!clock.live.load(std::memory_order_acquire)) {
    return clock.manualNow.load(std::memory_order_acquire);
  }
  const double elapsedNs =
      static_cast<double>(SteadyNs() - clock.liveStartNs.load(std::memory_order_relaxed));
  return clock.liveBase.load(std::memory_order_relaxed) +
         static_cast<int64_t>(elapsedNs * clock.speed.load(std::memory_order_relaxed) / 100.0);
}

bool ClockIsLive() { return Clock().live.load(std::memory_order_acquire); }

void StartManualClockLocked() {
  ClockState& clock = Clock();
  clock.manualNow.store(kManualClockOrigin, std::memory_order_release);
  clock.live.store(false, std::memory_order_release);
  WakeTimedWaitersLocked();
}

void StartLiveClockLocked(double speed) {
  ClockState& clock = Clock();
  clock.speed.store(speed > 0 ? speed : 1.0, std::memory_order_relaxed);
  clock.liveBase.store(WallClockSystemTime(), std::memory_order_relaxed);
  clock.liveStartNs.store(SteadyNs(), std::memory_order_relaxed);
  clock.live.store(true, std::memory_order_release);
  WakeTimedWaitersLocked();
}

void FreezeClockLocked() {
  ClockState& clock = Clock();
  clock.manualNow.store(Now(), std::memory_order_release);
  clock.live.store(false, std::memory_order_release);
  WakeTimedWaitersLocked();
}

void SetManualClockLocked(int64_t systemTime) {
  ClockState& clock = Clock();
  if (systemTime > clock.manualNow.load(std::memory_order_relaxed)) {
    clock.manualNow.store(systemTime, std::memory_order_release);
  }
  WakeTimedWaitersLocked();
}

namespace {

struct StallHook {
  std::mutex lock;
  std::shared_ptr<const std::function<void()>> routine;
};

StallHook& TheStallHook() {
  static auto* hook = new StallHook;
  return *hook;
}

std::atomic<int64_t>& BusyWaitCpu() {
  static auto* used = new std::atomic<int64_t>(0);
  return *used;
}

int64_t ThreadCpuNs() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
}

// The end of a busy-wait that is spun rather than slept: longer than a punctual wake-up takes.
constexpr auto kSpinTail = std::chrono::microseconds(100);

// Sleeps until a steady-clock instant (CLOCK_MONOTONIC), the thread's timer slack set to the
// least the first time.
void SleepUntil(std::chrono::steady_clock::time_point end) {
  thread_local const bool slackSet = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
  (void)slackSet;
  const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(end.time_since_epoch());
  timespec at{static_cast<time_t>(since.count() / 1000000000),
              static_cast<long>(since.count() % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

int64_t BusyWaitCpuNs() { return BusyWaitCpu().load(std::memory_order_relaxed); }

void SetManualStallHook(std::function<void()> hook) {
  auto routine = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
  std::lock_guard guard(TheStallHook().lock);
  TheStallHook().routine = std::move(routine);
}

void RunManualStallHook() {
  std::shared_ptr<const std::function<void()>> routine;
  {
    std::lock_guard guard(TheStallHook().lock);
    routine = TheStallHook().routine;
  }
  if (routine) (*routine)();
}

std::chrono::steady_clock::time_point RealTimeFor(int64_t systemTime) {
  ClockState& clock = Clock();
  const double virtualNs =
      static_cast<double>(systemTime - clock.liveBase.load(std::memory_order_relaxed)) * 100.0;
  // Far deadlines are capped at about a year of real time.
  const double realNs = std::min(virtualNs / clock.speed.load(std::memory_order_relaxed), 3.2e16);
  const int64_t at = clock.liveStartNs.load(std::memory_order_relaxed) +
                     static_cast<int64_t>(std::max(realNs, -3.2e16));
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(at));
}

}  // namespace host::ke::detail

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = host::ke::detail::Now();
}

// Busy-wait. Live mode: a true wait of at least the given virtual time. A pause longer than the
// spin tail sleeps to within the tail of its end on an absolute deadline, with the thread's
// timer slack at the least so that the wake-up is punctual, and spins the tail without
// yielding: on a busy machine a yield can cost a whole time slice, many times the pause, and a
// sleep leaves the processor to the threads that answer the pause. A shorter one (the steps of
// a loop that polls for another thread's work) spins yielding, so that many pollers do not
// starve the threads they wait for. Manual mode: the virtual clock moves on by the amount,
// without expiring timers (they expire only when a test advances the clock).
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  using namespace host::ke::detail;
  const int64_t amount = static_cast<int64_t>(MicroSeconds) * 10;
  if (!ClockIsLive()) {
    {
      DispatcherGuard lock(DispatcherLock());
      SetManualClockLocked(Now() + amount);
    }
    RunManualStallHook();
    return;
  }
  const int64_t cpuBefore = ThreadCpuNs();
  const int64_t target = Now() + amount;
  const auto sleepEnd = RealTimeFor(target) - kSpinTail;
  const bool polling = sleepEnd <= std::chrono::steady_clock::now();
  if (!polling) SleepUntil(sleepEnd);
  while (ClockIsLive() && Now() < target) {
    if (polling) {
      std::this_thread::yield();
    } else {
      SpinPause();
    }
  }
  BusyWaitCpu().fetch_add(ThreadCpuNs() - cpuBefore, std::memory_order_relaxed);
}

}  // extern "C"
