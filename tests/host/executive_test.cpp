// Deferred calls, timers, events, waits and the clock of the host executive, in manual mode
// (virtual clock driven by the test) and in live mode (a timer thread, deferred calls run where
// they are queued, a scaled real clock).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "host/ke/waiter_count.h"
#include "host/session/executive.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

using testsupport::WaitUntil;
using testsupport::kMillisecond;
using testsupport::kSecond;

// What a deferred call saw when it ran.
struct Trace {
  std::vector<int> ids;
  std::vector<int64_t> times;
  std::vector<KIRQL> levels;
  std::vector<PVOID> firstArguments;
  std::vector<std::thread::id> threads;
};

struct TracedDpc {
  KDPC dpc;
  Trace* trace;
  int id;
  TracedDpc(Trace& t, int i);
};

VOID NTAPI Record(PKDPC, PVOID context, PVOID argument1, PVOID) {
  auto* traced = static_cast<TracedDpc*>(context);
  traced->trace->ids.push_back(traced->id);
  traced->trace->times.push_back(host::session::SystemTime());
  traced->trace->levels.push_back(KeGetCurrentIrql());
  traced->trace->firstArguments.push_back(argument1);
  traced->trace->threads.push_back(std::this_thread::get_id());
}

TracedDpc::TracedDpc(Trace& t, int i) : trace(&t), id(i) { KeInitializeDpc(&dpc, Record, this); }

// A timer whose expiry is traced.
struct TracedTimer {
  Trace trace;
  TracedDpc call{trace, 1};
  KTIMER timer;
  TracedTimer() { KeInitializeTimer(&timer); }
  BOOLEAN Set(LARGE_INTEGER due, PKDPC dpc = nullptr) { return KeSetTimer(&timer, due, dpc ? dpc : &call.dpc); }
};

LARGE_INTEGER Relative(int64_t hundredNanoseconds) {
  LARGE_INTEGER due;
  due.QuadPart = -hundredNanoseconds;
  return due;
}

LARGE_INTEGER Absolute(int64_t systemTime) {
  LARGE_INTEGER due;
  due.QuadPart = systemTime;
  return due;
}

NTSTATUS WaitFor(PVOID object, LARGE_INTEGER* timeout) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

using DeferredCalls = testsupport::ManualExecutive;

TEST_F(DeferredCalls, RunOnceAtDispatchLevelInQueueOrderAndARemovedCallDoesNotRun) {
  Trace trace;
  TracedDpc calls[3] = {{trace, 0}, {trace, 1}, {trace, 2}};
  int first = 0;
  int second = 0;
  EXPECT_FALSE(KeRemoveQueueDpc(&calls[1].dpc));
  EXPECT_TRUE(KeInsertQueueDpc(&calls[2].dpc, &first, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&calls[2].dpc, &second, nullptr)) << "already queued";
  for (int i : {1, 0}) KeInsertQueueDpc(&calls[i].dpc, nullptr, nullptr);
  EXPECT_EQ(host::session::QueuedDpcCount(), 3u);
  EXPECT_TRUE(KeRemoveQueueDpc(&calls[1].dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&calls[1].dpc));
  EXPECT_EQ(host::session::RunQueuedDpcs(), 2u);
  EXPECT_EQ(trace.ids, (std::vector<int>{2, 0}));
  EXPECT_EQ(trace.firstArguments[0], &first) << "the first insertion's arguments";
  EXPECT_EQ(trace.levels[0], DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(host::session::RunQueuedDpcs(), 0u);
  EXPECT_TRUE(KeInsertQueueDpc(&calls[1].dpc, nullptr, nullptr)) << "removed, it can be queued again";
  EXPECT_EQ(host::session::RunQueuedDpcs(), 1u);
}

struct Requeuer {
  KDPC dpc;
  int runs = 0;
  int wanted = 0;
  BOOLEAN insertResult = FALSE;
};

VOID NTAPI RequeueWhileRunning(PKDPC dpc, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<Requeuer*>(context);
  if (++self->runs < self->wanted) self->insertResult = KeInsertQueueDpc(dpc, nullptr, nullptr);
}

TEST_F(DeferredCalls, QueuedAgainWhileRunningRunsAgain) {
  Requeuer requeuer;
  requeuer.wanted = 3;
  KeInitializeDpc(&requeuer.dpc, RequeueWhileRunning, &requeuer);
  KeInsertQueueDpc(&requeuer.dpc, nullptr, nullptr);
  EXPECT_EQ(host::session::RunQueuedDpcs(), 3u);
  EXPECT_EQ(requeuer.runs, 3);
  EXPECT_TRUE(requeuer.insertResult);
  EXPECT_EQ(host::session::QueuedDpcCount(), 0u);
}

using Timers = testsupport::ManualExecutive;

TEST_F(Timers, RelativeDueTimeExpiresExactlyWhenTheClockReachesIt) {
  TracedTimer t;
  const int64_t start = host::session::SystemTime();
  EXPECT_FALSE(t.Set(Relative(10 * kSecond)));
  EXPECT_EQ(host::session::ArmedTimerCount(), 1u);
  LARGE_INTEGER poll{};
  EXPECT_EQ(host::session::AdvanceClock(10 * kSecond - 1), 0u);
  EXPECT_EQ(WaitFor(&t.timer, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(host::session::AdvanceClock(1), 1u);
  EXPECT_EQ(WaitFor(&t.timer, &poll), STATUS_SUCCESS) << "an expired timer satisfies waits";
  EXPECT_EQ(WaitFor(&t.timer, &poll), STATUS_SUCCESS) << "and stays signalled";
  ASSERT_EQ(t.trace.ids, std::vector<int>{1});
  EXPECT_EQ(t.trace.times[0], start + 10 * kSecond);
  EXPECT_EQ(t.trace.levels[0], DISPATCH_LEVEL);
  EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
  t.Set(Relative(kSecond));
  EXPECT_FALSE(KeReadStateTimer(&t.timer)) << "until set again";
  t.Set(Absolute(host::session::SystemTime() - kSecond));
  EXPECT_EQ(host::session::AdvanceClock(0), 1u) << "an absolute due time in the past expires at the next advance";
}

// Setting and cancelling report whether the timer was armed; a re-arm replaces due time and
// call, and the timer fires once.
TEST_F(Timers, RearmAndCancelReportWhetherTheTimerWasArmed) {
  TracedTimer t;
  TracedDpc second(t.trace, 2);
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  t.Set(Relative(kSecond));
  EXPECT_TRUE(KeCancelTimer(&t.timer));
  host::session::AdvanceClock(2 * kSecond);
  EXPECT_TRUE(t.trace.ids.empty());
  const int64_t start = host::session::SystemTime();
  EXPECT_FALSE(t.Set(Relative(10 * kSecond)));
  host::session::AdvanceClock(2 * kSecond);
  EXPECT_TRUE(t.Set(Relative(20 * kSecond), &second.dpc));
  EXPECT_EQ(host::session::ArmedTimerCount(), 1u);
  host::session::AdvanceClock(20 * kSecond - 1);
  EXPECT_TRUE(t.trace.ids.empty());
  host::session::AdvanceClock(60 * kSecond);
  EXPECT_EQ(t.trace.ids, std::vector<int>{2});
  EXPECT_EQ(t.trace.times[0], start + 22 * kSecond);
  EXPECT_FALSE(KeCancelTimer(&t.timer)) << "already expired";
}

TEST_F(Timers, ExpireInDueOrderEachAtItsOwnTime) {
  Trace trace;
  TracedDpc calls[3] = {{trace, 0}, {trace, 1}, {trace, 2}};
  KTIMER timers[3];
  const int64_t start = host::session::SystemTime();
  const int64_t dueSeconds[3] = {3, 1, 2};
  for (int i = 0; i < 3; ++i) {
    KeInitializeTimer(&timers[i]);
    // Relative and absolute due times share one order.
    KeSetTimer(&timers[i], i == 0 ? Absolute(start + 3 * kSecond) : Relative(dueSeconds[i] * kSecond), &calls[i].dpc);
  }
  EXPECT_EQ(host::session::AdvanceClock(10 * kSecond), 3u);
  EXPECT_EQ(trace.ids, (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(trace.times, (std::vector<int64_t>{start + kSecond, start + 2 * kSecond,
                                               start + 3 * kSecond}));
  EXPECT_EQ(host::session::SystemTime(), start + 10 * kSecond);
}

struct Chain {
  KDPC dpc;
  KTIMER timer;
  int runs = 0;
  std::vector<int64_t> times;
};

VOID NTAPI RearmFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* chain = static_cast<Chain*>(context);
  chain->times.push_back(host::session::SystemTime());
  if (++chain->runs < 3) KeSetTimer(&chain->timer, Relative(kSecond), &chain->dpc);
}

TEST_F(Timers, TimerArmedByADeferredCallWithinTheAdvanceExpiresInTheSameAdvance) {
  Chain chain;
  KeInitializeDpc(&chain.dpc, RearmFromDpc, &chain);
  KeInitializeTimer(&chain.timer);
  const int64_t start = host::session::SystemTime();
  KeSetTimer(&chain.timer, Relative(kSecond), &chain.dpc);
  EXPECT_EQ(host::session::AdvanceClock(5 * kSecond / 2), 2u);
  EXPECT_EQ(chain.times, (std::vector<int64_t>{start + kSecond, start + 2 * kSecond}));
  EXPECT_EQ(host::session::ArmedTimerCount(), 1u);
  host::session::AdvanceClock(kSecond);
  EXPECT_EQ(chain.runs, 3);
}

TEST_F(Timers, BusyWaitMovesTheClockButExpiresNothing) {
  TracedTimer t;
  const int64_t start = host::session::SystemTime();
  t.Set(Relative(kMillisecond));
  KeStallExecutionProcessor(2000);
  EXPECT_EQ(host::session::SystemTime(), start + 2 * kMillisecond);
  EXPECT_TRUE(t.trace.ids.empty());
  EXPECT_EQ(host::session::AdvanceClock(0), 1u);
  EXPECT_EQ(t.trace.times[0], start + 2 * kMillisecond) << "late, at the time the test let it";
}

using Events = testsupport::ManualExecutive;

// Threads blocked on one event, each counting its release.
struct Waiters {
  KEVENT event;
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  void Start(int count) {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this] {
        if (WaitFor(&event, nullptr) == STATUS_SUCCESS) ++released;
      });
    }
    ASSERT_TRUE(WaitUntil([&] { return host::ke::WaitersOn(&event) == static_cast<size_t>(count); }));
  }
  ~Waiters() {
    for (auto& thread : threads) thread.join();
  }
};

TEST_F(Events, SynchronizationEventReleasesExactlyOneWaiterPerSetAndASatisfiedWaitConsumesIt) {
  Waiters waiters;
  KeInitializeEvent(&waiters.event, SynchronizationEvent, FALSE);
  waiters.Start(3);
  EXPECT_EQ(KeSetEvent(&waiters.event, LOW_REALTIME_PRIORITY, FALSE), 0);
  EXPECT_EQ(host::ke::WaitersOn(&waiters.event), 2u);
  EXPECT_EQ(KeReadStateEvent(&waiters.event), 0);
  EXPECT_TRUE(WaitUntil([&] { return waiters.released == 1; }));
  KeSetEvent(&waiters.event, LOW_REALTIME_PRIORITY, FALSE);
  KeSetEvent(&waiters.event, LOW_REALTIME_PRIORITY, FALSE);
  EXPECT_EQ(host::ke::WaitersOn(&waiters.event), 0u);
  EXPECT_TRUE(WaitUntil([&] { return waiters.released == 3; }));
  EXPECT_EQ(KeReadStateEvent(&waiters.event), 0);
  KeSetEvent(&waiters.event, LOW_REALTIME_PRIORITY, FALSE);
  LARGE_INTEGER poll{};
  EXPECT_EQ(WaitFor(&waiters.event, &poll), STATUS_SUCCESS);
  EXPECT_EQ(WaitFor(&waiters.event, &poll), STATUS_TIMEOUT);
}

TEST_F(Events, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  Waiters waiters;
  KeInitializeEvent(&waiters.event, NotificationEvent, FALSE);
  waiters.Start(3);
  EXPECT_EQ(KeSetEvent(&waiters.event, IO_NO_INCREMENT, FALSE), 0) << "the previous state";
  EXPECT_EQ(host::ke::WaitersOn(&waiters.event), 0u);
  EXPECT_TRUE(WaitUntil([&] { return waiters.released == 3; }));
  LARGE_INTEGER poll{};
  EXPECT_EQ(WaitFor(&waiters.event, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeSetEvent(&waiters.event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&waiters.event), 1);
  EXPECT_EQ(KeReadStateEvent(&waiters.event), 0);
}

using Waits = testsupport::ManualExecutive;

struct TimedWait {
  KEVENT event;
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::atomic<int64_t> returnedAt{0};
  std::thread thread;
  TimedWait(EVENT_TYPE type, LARGE_INTEGER timeout) {
    KeInitializeEvent(&event, type, FALSE);
    thread = std::thread([this, timeout]() mutable {
      status = WaitFor(&event, &timeout);
      returnedAt = host::session::SystemTime();
    });
    EXPECT_TRUE(WaitUntil([&] { return host::ke::WaitersOn(&event) == 1; }));
  }
  NTSTATUS Result() {
    thread.join();
    return status;
  }
  ~TimedWait() {
    if (thread.joinable()) thread.join();
  }
};

TEST_F(Waits, TimeOutsEndTheWaitWhenTheVirtualClockPassesThemBusyWaitsOfOtherThreadsIncluded) {
  const int64_t start = host::session::SystemTime();
  TimedWait relative(NotificationEvent, Relative(5 * kSecond));
  host::session::AdvanceClock(4 * kSecond);
  EXPECT_EQ(relative.status.load(), STATUS_PENDING);
  host::session::AdvanceClock(kSecond);
  EXPECT_EQ(relative.Result(), STATUS_TIMEOUT);
  EXPECT_GE(relative.returnedAt.load(), start + 5 * kSecond);
  EXPECT_EQ(host::ke::WaitersOn(&relative.event), 0u);

  const int64_t deadline = host::session::SystemTime() + 3 * kMillisecond;
  TimedWait absolute(NotificationEvent, Absolute(deadline));
  for (int i = 0; i < 30; ++i) KeStallExecutionProcessor(100);
  EXPECT_EQ(absolute.Result(), STATUS_TIMEOUT);
  EXPECT_GE(absolute.returnedAt.load(), deadline);

  // A zero or past time-out polls without blocking, even at DISPATCH_LEVEL.
  LARGE_INTEGER zero{};
  LARGE_INTEGER past = Absolute(host::session::SystemTime() - kSecond);
  EXPECT_EQ(WaitFor(&absolute.event, &past), STATUS_TIMEOUT);
  const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(WaitFor(&absolute.event, &zero), STATUS_TIMEOUT);
  KfLowerIrql(old);
}

using Clock = testsupport::ManualExecutive;

TEST_F(Clock, ManualModeStartsAtAFixedTimeMovesOnlyWhenToldAndARestartForgetsTimersAndCalls) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, 133485408000000000LL) << "2024-01-01 in 100-ns units since 1601";
  host::session::AdvanceClock(3 * kSecond);
  EXPECT_EQ(host::session::SystemTime(), now.QuadPart + 3 * kSecond);

  // A restart starts the clock again and forgets timers and deferred calls.
  TracedTimer t;
  t.Set(Relative(kSecond));
  KeInsertQueueDpc(&t.call.dpc, nullptr, nullptr);
  host::session::StartManual();
  EXPECT_EQ(host::session::SystemTime(), now.QuadPart);
  EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
  EXPECT_EQ(host::session::QueuedDpcCount(), 0u);
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(t.Set(Relative(kSecond)));
  EXPECT_TRUE(KeInsertQueueDpc(&t.call.dpc, nullptr, nullptr));
  LARGE_INTEGER value;
  value.QuadPart = -10000;
  EXPECT_EQ(RtlExtendedIntegerMultiply(value, 8000).QuadPart, -80000000LL);
}

// Live mode: a deferred call that records when and where it ran and sets an event.
struct LiveProbe {
  KDPC dpc;
  KEVENT done;
  std::atomic<int64_t> ranAt{0};
  std::atomic<int> level{-1};
  std::atomic<int> runs{0};
  LiveProbe();
  bool Done() {
    LARGE_INTEGER limit = Relative(600 * kSecond);
    return WaitFor(&done, &limit) == STATUS_SUCCESS;
  }
};

VOID NTAPI LiveRecord(PKDPC, PVOID context, PVOID, PVOID) {
  auto* probe = static_cast<LiveProbe*>(context);
  probe->ranAt = host::session::SystemTime();
  probe->level = KeGetCurrentIrql();
  ++probe->runs;
  KeSetEvent(&probe->done, IO_NO_INCREMENT, FALSE);
}

LiveProbe::LiveProbe() {
  KeInitializeDpc(&dpc, LiveRecord, this);
  KeInitializeEvent(&done, NotificationEvent, FALSE);
}

class LiveExecutive : public ::testing::Test {
 protected:
  void TearDown() override { host::session::Shutdown(); }
};

// A scaled clock: timers fire on the timer thread, waits and busy waits last, no earlier than their
// virtual time.
TEST_F(LiveExecutive, ScaledTimersWaitsAndBusyWaitsLastAtLeastTheirVirtualTime) {
  host::session::StartLive({50.0});
  EXPECT_EQ(host::session::CurrentMode(), host::session::Mode::Live);
  LiveProbe probe;
  KTIMER timer;
  KTIMER far;  // the timer thread sleeps until it; the earlier timer must wake the thread
  KeInitializeTimer(&timer);
  KeInitializeTimer(&far);
  KeSetTimer(&far, Relative(3600 * kSecond), nullptr);
  KeStallExecutionProcessor(100000);
  const int64_t start = host::session::SystemTime();
  KeSetTimer(&timer, Relative(2 * kSecond), &probe.dpc);
  ASSERT_TRUE(probe.Done());
  EXPECT_TRUE(KeCancelTimer(&far));
  EXPECT_GE(probe.ranAt.load(), start + 2 * kSecond);
  EXPECT_EQ(probe.level.load(), DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));

  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  const int64_t beforeWait = host::session::SystemTime();
  LARGE_INTEGER timeout = Relative(kSecond);
  EXPECT_EQ(WaitFor(&never, &timeout), STATUS_TIMEOUT);
  const int64_t afterWait = host::session::SystemTime();
  EXPECT_GE(afterWait, beforeWait + kSecond);
  KeStallExecutionProcessor(500000);
  EXPECT_GE(host::session::SystemTime(), afterWait + 500 * kMillisecond);
}

// Live: calls queued at DISPATCH_LEVEL wait for the level to drop, then run on the thread that
// queued them, in queue order (one of high importance first, one removed not at all); a call
// queued at PASSIVE_LEVEL has run when its insertion returns.
TEST_F(LiveExecutive, DeferredCallsRunOnTheQueuingThreadInOrderWhenItsLevelDrops) {
  host::session::StartLive({1.0});
  const int64_t unix100ns = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch()).count() * 10;
  EXPECT_NEAR(static_cast<double>(host::session::SystemTime()), 116444736000000000.0 + unix100ns, 60.0 * kSecond)
      << "at scale 1 the system time follows the wall clock";
  Trace trace;
  TracedDpc calls[4] = {{trace, 0}, {trace, 1}, {trace, 2}, {trace, 3}};
  calls[3].dpc.Importance = 2;  // HighImportance
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  const KIRQL irql = KfAcquireSpinLock(&lock);
  for (TracedDpc& call : calls) EXPECT_TRUE(KeInsertQueueDpc(&call.dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&calls[0].dpc, nullptr, nullptr)) << "already queued";
  EXPECT_TRUE(KeRemoveQueueDpc(&calls[1].dpc));
  EXPECT_TRUE(trace.ids.empty()) << "nothing runs at DISPATCH_LEVEL";
  KfReleaseSpinLock(&lock, irql);
  EXPECT_EQ(trace.ids, (std::vector<int>{3, 0, 2}));
  EXPECT_EQ(trace.levels, (std::vector<KIRQL>(3, DISPATCH_LEVEL)));
  EXPECT_TRUE(KeInsertQueueDpc(&calls[1].dpc, nullptr, nullptr));
  EXPECT_EQ(trace.ids.size(), 4u) << "queued at PASSIVE_LEVEL, it ran before the insertion returned";
  EXPECT_EQ(trace.threads, (std::vector<std::thread::id>(4, std::this_thread::get_id())));
  EXPECT_EQ(host::session::QueuedDpcCount(), 0u);
}

// Live: one call queued again while it runs on one thread runs on a second thread at the same
// time. Each run waits (a bounded time) for the other to be inside the routine too.
struct Overlap {
  KDPC dpc;
  std::atomic<int> inside{0};
  std::atomic<int> peak{0};
  std::atomic<int> arrived{0};
};

VOID NTAPI WaitForTheOtherRun(PKDPC, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<Overlap*>(context);
  const int now = ++self->inside;
  if (now > self->peak) self->peak = now;
  ++self->arrived;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (self->arrived < 2 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
  --self->inside;
}

TEST_F(LiveExecutive, TheSameDeferredCallRunsOnTwoThreadsAtOnce) {
  host::session::StartLive({1.0});
  Overlap overlap;
  KeInitializeDpc(&overlap.dpc, WaitForTheOtherRun, &overlap);
  std::thread first([&] { EXPECT_TRUE(KeInsertQueueDpc(&overlap.dpc, nullptr, nullptr)); });
  ASSERT_TRUE(WaitUntil([&] { return overlap.arrived.load() == 1; }));
  EXPECT_TRUE(KeInsertQueueDpc(&overlap.dpc, nullptr, nullptr)) << "running is not queued";
  first.join();
  EXPECT_EQ(overlap.peak.load(), 2);
}

TEST_F(LiveExecutive, RestartsRepeatedlyInEitherModeWithNothingLeftOver) {
  for (int round = 0; round < 3; ++round) {
    host::session::StartLive({10.0});
    LiveProbe probe;
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    ASSERT_TRUE(probe.Done());
    KTIMER pending;
    KeInitializeTimer(&pending);
    KeSetTimer(&pending, Relative(3600 * kSecond), &probe.dpc);
    host::session::Shutdown();
    EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
    host::session::StartManual();
    EXPECT_EQ(host::session::CurrentMode(), host::session::Mode::Manual);
    EXPECT_EQ(host::session::AdvanceClock(7200 * kSecond), 0u);
    EXPECT_EQ(probe.runs.load(), 1);
  }
}

}  // namespace
