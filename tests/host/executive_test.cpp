// Deferred calls, timers, events, waits and the clock of the host executive, in manual mode
// (virtual clock driven by the test) and in live mode (a timer thread, deferred calls run where
// they are queued, a scaled real clock).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
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

LARGE_INTEGER Relative(int64_t hundredNanoseconds) { return LARGE_INTEGER{.QuadPart = -hundredNanoseconds}; }
LARGE_INTEGER Absolute(int64_t systemTime) { return LARGE_INTEGER{.QuadPart = systemTime}; }

NTSTATUS WaitFor(PVOID object, LARGE_INTEGER* timeout) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

// What deferred calls saw when they ran. Each run sets `done`, which the live cases wait on.
struct Trace {
  std::vector<int> ids;
  std::vector<int64_t> times;
  std::vector<KIRQL> levels;
  std::vector<PVOID> firstArguments;
  std::vector<std::thread::id> threads;
  std::vector<BOOLEAN> requeued;  // what queuing a running call again answered
  KEVENT done;
  Trace() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
};

// A traced deferred call. While `again` lasts, each run queues the call again, or re-arms
// `timer` 1.5 s on when it has one.
struct TracedDpc {
  KDPC dpc;
  Trace* trace;
  int id;
  int again = 0;
  KTIMER* timer = nullptr;
  TracedDpc(Trace& t, int i);
};

VOID NTAPI Record(PKDPC, PVOID context, PVOID argument1, PVOID) {
  auto* self = static_cast<TracedDpc*>(context);
  Trace& trace = *self->trace;
  trace.ids.push_back(self->id);
  trace.times.push_back(host::session::SystemTime());
  trace.levels.push_back(KeGetCurrentIrql());
  trace.firstArguments.push_back(argument1);
  trace.threads.push_back(std::this_thread::get_id());
  if (self->again > 0) {
    --self->again;
    if (self->timer != nullptr) KeSetTimer(self->timer, Relative(3 * kSecond / 2), &self->dpc);
    if (self->timer == nullptr) trace.requeued.push_back(KeInsertQueueDpc(&self->dpc, nullptr, nullptr));
  }
  KeSetEvent(&trace.done, IO_NO_INCREMENT, FALSE);
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

using DeferredCalls = testsupport::ManualExecutive;

TEST_F(DeferredCalls, RunOnceAtDispatchLevelInQueueOrderARemovedCallNotAtAllAndARequeuedOneAgain) {
  Trace trace;
  TracedDpc calls[3] = {{trace, 0}, {trace, 1}, {trace, 2}};
  int first = 0, second = 0;
  EXPECT_FALSE(KeRemoveQueueDpc(&calls[1].dpc));
  EXPECT_TRUE(KeInsertQueueDpc(&calls[2].dpc, &first, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&calls[2].dpc, &second, nullptr)) << "already queued";
  for (int i : {1, 0}) KeInsertQueueDpc(&calls[i].dpc, nullptr, nullptr);
  EXPECT_EQ(host::session::QueuedDpcCount(), 3u);
  EXPECT_TRUE(KeRemoveQueueDpc(&calls[1].dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&calls[1].dpc));
  calls[2].again = 2;  // queued again while it runs, twice: running is not queued
  EXPECT_EQ(host::session::RunQueuedDpcs(), 4u);
  EXPECT_EQ(trace.ids, (std::vector<int>{2, 0, 2, 2}));
  EXPECT_EQ(trace.requeued, (std::vector<BOOLEAN>{TRUE, TRUE}));
  EXPECT_EQ(trace.firstArguments[0], &first) << "the first insertion's arguments";
  EXPECT_EQ(trace.levels[0], DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(host::session::RunQueuedDpcs(), 0u);
  EXPECT_TRUE(KeInsertQueueDpc(&calls[1].dpc, nullptr, nullptr)) << "removed, it can be queued again";
  EXPECT_EQ(host::session::RunQueuedDpcs(), 1u);
}

using Timers = testsupport::ManualExecutive;

// The manual clock starts at a fixed time. A timer expires exactly when the clock reaches its
// due time and stays signalled until set again; busy waits move the clock but expire nothing.
// Setting and cancelling report whether the timer was armed; a re-arm replaces due time and
// call, and the timer fires once. A restart starts the clock again and forgets timers and calls.
TEST_F(Timers, DueTimeExpiresExactlyWhenTheClockReachesItOnceForTheLastSettingOnly) {
  TracedTimer t;
  TracedDpc second(t.trace, 2);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, 133485408000000000LL) << "2024-01-01 in 100-ns units since 1601";
  const int64_t start = now.QuadPart;
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
  EXPECT_FALSE(KeCancelTimer(&t.timer)) << "already expired";
  t.Set(Relative(kMillisecond));
  EXPECT_FALSE(KeReadStateTimer(&t.timer)) << "until set again";
  KeStallExecutionProcessor(2000);
  EXPECT_EQ(host::session::SystemTime(), start + 10 * kSecond + 2 * kMillisecond) << "a busy wait moves the clock";
  EXPECT_EQ(t.trace.ids.size(), 1u) << "but expires nothing";
  EXPECT_EQ(host::session::AdvanceClock(0), 1u);
  EXPECT_EQ(t.trace.times[1], start + 10 * kSecond + 2 * kMillisecond) << "late, at the time the test let it";
  t.Set(Absolute(host::session::SystemTime() - kSecond));
  EXPECT_EQ(host::session::AdvanceClock(0), 1u) << "an absolute due time in the past expires at the next advance";

  t.Set(Relative(kSecond));
  EXPECT_TRUE(KeCancelTimer(&t.timer));
  host::session::AdvanceClock(2 * kSecond);
  EXPECT_EQ(t.trace.ids.size(), 3u) << "a cancelled timer does not fire";
  const int64_t rearmed = host::session::SystemTime();
  EXPECT_FALSE(t.Set(Relative(10 * kSecond)));
  host::session::AdvanceClock(2 * kSecond);
  EXPECT_TRUE(t.Set(Relative(20 * kSecond), &second.dpc));
  EXPECT_EQ(host::session::ArmedTimerCount(), 1u);
  host::session::AdvanceClock(20 * kSecond - 1);
  EXPECT_EQ(t.trace.ids.size(), 3u);
  host::session::AdvanceClock(60 * kSecond);
  EXPECT_EQ(t.trace.ids, (std::vector<int>{1, 1, 1, 2}));
  EXPECT_EQ(t.trace.times[3], rearmed + 22 * kSecond);

  t.Set(Relative(kSecond));
  KeInsertQueueDpc(&t.call.dpc, nullptr, nullptr);
  host::session::StartManual();
  EXPECT_EQ(host::session::SystemTime(), start);
  EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
  EXPECT_EQ(host::session::QueuedDpcCount(), 0u);
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(t.Set(Relative(kSecond)));
  EXPECT_TRUE(KeInsertQueueDpc(&t.call.dpc, nullptr, nullptr));
  EXPECT_EQ(RtlExtendedIntegerMultiply(Relative(kMillisecond), 8000).QuadPart, -8000 * kMillisecond);
}

// Relative and absolute due times share one order; a timer its own call re-arms within an
// advance expires in that advance.
TEST_F(Timers, ExpireInDueOrderEachAtItsOwnTimeThoseReArmedWithinTheAdvanceIncluded) {
  Trace trace;
  TracedDpc calls[3] = {{trace, 0}, {trace, 1}, {trace, 2}};
  KTIMER timers[3];
  const int64_t start = host::session::SystemTime();
  const LARGE_INTEGER due[3] = {Absolute(start + 3 * kSecond), Relative(kSecond), Relative(2 * kSecond)};
  for (int i = 0; i < 3; ++i) {
    KeInitializeTimer(&timers[i]);
    calls[i].timer = &timers[i];
    KeSetTimer(&timers[i], due[i], &calls[i].dpc);
  }
  calls[1].again = 2;
  EXPECT_EQ(host::session::AdvanceClock(10 * kSecond), 5u);
  EXPECT_EQ(trace.ids, (std::vector<int>{1, 2, 1, 0, 1}));
  EXPECT_EQ(trace.times, (std::vector<int64_t>{start + kSecond, start + 2 * kSecond, start + 5 * kSecond / 2,
                                               start + 3 * kSecond, start + 4 * kSecond}));
  EXPECT_EQ(host::session::SystemTime(), start + 10 * kSecond);
}

using Events = testsupport::ManualExecutive;

// Threads blocked on one event, with or without a time-out, each recording how and when its
// wait ended.
struct Waiters {
  KEVENT event;
  std::atomic<int> released{0};
  std::atomic<NTSTATUS> last{STATUS_PENDING};
  std::atomic<int64_t> returnedAt{0};
  std::vector<std::jthread> threads;  // joined at the latest when the waiters go
  Waiters(EVENT_TYPE type, int count, std::optional<LARGE_INTEGER> timeout = std::nullopt) {
    KeInitializeEvent(&event, type, FALSE);
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this, timeout]() mutable {
        last = WaitFor(&event, timeout ? &*timeout : nullptr);
        returnedAt = host::session::SystemTime();
        if (last == STATUS_SUCCESS) ++released;
      });
    }
    EXPECT_TRUE(WaitUntil([&] { return host::ke::WaitersOn(&event) == static_cast<size_t>(count); }));
  }
  NTSTATUS Join() {
    for (auto& thread : threads) thread.join();
    return last;
  }
};

// A synchronization event releases one waiter per set and a satisfied wait consumes it; a
// notification event releases every waiter and stays signalled until reset.
TEST_F(Events, ASynchronizationEventReleasesOneWaiterPerSetANotificationEventEveryOneATimeOutNone) {
  Waiters one(SynchronizationEvent, 3);
  EXPECT_EQ(KeSetEvent(&one.event, LOW_REALTIME_PRIORITY, FALSE), 0);
  EXPECT_EQ(host::ke::WaitersOn(&one.event), 2u);
  EXPECT_EQ(KeReadStateEvent(&one.event), 0);
  EXPECT_TRUE(WaitUntil([&] { return one.released == 1; }));
  KeSetEvent(&one.event, LOW_REALTIME_PRIORITY, FALSE);
  KeSetEvent(&one.event, LOW_REALTIME_PRIORITY, FALSE);
  EXPECT_EQ(host::ke::WaitersOn(&one.event), 0u);
  EXPECT_TRUE(WaitUntil([&] { return one.released == 3; }));
  EXPECT_EQ(KeReadStateEvent(&one.event), 0);
  KeSetEvent(&one.event, LOW_REALTIME_PRIORITY, FALSE);
  LARGE_INTEGER poll{};
  EXPECT_EQ(WaitFor(&one.event, &poll), STATUS_SUCCESS);
  EXPECT_EQ(WaitFor(&one.event, &poll), STATUS_TIMEOUT);

  Waiters all(NotificationEvent, 3);
  EXPECT_EQ(KeSetEvent(&all.event, IO_NO_INCREMENT, FALSE), 0) << "the previous state";
  EXPECT_EQ(host::ke::WaitersOn(&all.event), 0u);
  EXPECT_TRUE(WaitUntil([&] { return all.released == 3; }));
  EXPECT_EQ(WaitFor(&all.event, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeSetEvent(&all.event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&all.event), 1);
  EXPECT_EQ(KeReadStateEvent(&all.event), 0);

  // Time-outs end a wait when the virtual clock passes them, busy waits of other threads included.
  const int64_t start = host::session::SystemTime();
  Waiters relative(NotificationEvent, 1, Relative(5 * kSecond));
  host::session::AdvanceClock(4 * kSecond);
  EXPECT_EQ(relative.last.load(), STATUS_PENDING);
  host::session::AdvanceClock(kSecond);
  EXPECT_EQ(relative.Join(), STATUS_TIMEOUT);
  EXPECT_GE(relative.returnedAt.load(), start + 5 * kSecond);
  EXPECT_EQ(host::ke::WaitersOn(&relative.event), 0u);

  const int64_t deadline = host::session::SystemTime() + 3 * kMillisecond;
  Waiters absolute(NotificationEvent, 1, Absolute(deadline));
  for (int i = 0; i < 30; ++i) KeStallExecutionProcessor(100);
  EXPECT_EQ(absolute.Join(), STATUS_TIMEOUT);
  EXPECT_GE(absolute.returnedAt.load(), deadline);

  // A zero or past time-out polls without blocking, even at DISPATCH_LEVEL.
  LARGE_INTEGER past = Absolute(host::session::SystemTime() - kSecond);
  EXPECT_EQ(WaitFor(&absolute.event, &past), STATUS_TIMEOUT);
  const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(WaitFor(&absolute.event, &poll), STATUS_TIMEOUT);
  KfLowerIrql(old);
}

using LiveExecutive = testsupport::ManualExecutive;  // each case starts the live mode itself

// A scaled clock: timers fire on the timer thread, which a timer due earlier than the one it
// sleeps until wakes; waits and busy waits last no less than their virtual time.
TEST_F(LiveExecutive, ScaledTimersWaitsAndBusyWaitsLastAtLeastTheirVirtualTime) {
  host::session::StartLive({50.0});
  TracedTimer t;
  TracedTimer far;
  far.Set(Relative(3600 * kSecond));
  KeStallExecutionProcessor(100000);  // the timer thread is asleep until `far`
  const int64_t start = host::session::SystemTime();
  t.Set(Relative(2 * kSecond));
  LARGE_INTEGER limit = Relative(600 * kSecond);
  ASSERT_EQ(WaitFor(&t.trace.done, &limit), STATUS_SUCCESS);
  EXPECT_TRUE(KeCancelTimer(&far.timer));
  EXPECT_GE(t.trace.times[0], start + 2 * kSecond);
  EXPECT_EQ(t.trace.levels[0], DISPATCH_LEVEL);
  EXPECT_NE(t.trace.threads[0], std::this_thread::get_id());

  const int64_t beforeWait = host::session::SystemTime();
  LARGE_INTEGER timeout = Relative(kSecond);
  EXPECT_EQ(WaitFor(&far.trace.done, &timeout), STATUS_TIMEOUT) << "far's call never ran";
  const int64_t afterWait = host::session::SystemTime();
  EXPECT_GE(afterWait, beforeWait + kSecond);
  KeStallExecutionProcessor(500000);
  EXPECT_GE(host::session::SystemTime(), afterWait + 500 * kMillisecond);
}

// A deferred call each run of which waits (a bounded time) for a second run to be inside it
// too, counting the most runs inside at once.
struct Overlap {
  KDPC dpc;
  std::atomic<int> inside{0}, peak{0}, arrived{0};
};

VOID NTAPI WaitForTheOtherRun(PKDPC, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<Overlap*>(context);
  const int now = ++self->inside;
  if (now > self->peak) self->peak = now;
  ++self->arrived;
  WaitUntil([&] { return self->arrived >= 2; }, std::chrono::seconds(10));
  --self->inside;
}

// Live: calls queued at DISPATCH_LEVEL wait for the level to drop, then run on the thread that
// queued them, in queue order (one of high importance first, one removed not at all); a call
// queued at PASSIVE_LEVEL has run when its insertion returns; one queued again while it runs
// runs on a second thread at the same time. A shutdown leaves nothing armed, time after time.
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

  Overlap overlap;
  KeInitializeDpc(&overlap.dpc, WaitForTheOtherRun, &overlap);
  std::thread first([&] { EXPECT_TRUE(KeInsertQueueDpc(&overlap.dpc, nullptr, nullptr)); });
  ASSERT_TRUE(WaitUntil([&] { return overlap.arrived.load() == 1; }));
  EXPECT_TRUE(KeInsertQueueDpc(&overlap.dpc, nullptr, nullptr)) << "running is not queued";
  first.join();
  EXPECT_EQ(overlap.peak.load(), 2);

  for (int round = 0; round < 3; ++round) {
    TracedTimer pending;
    KeInsertQueueDpc(&pending.call.dpc, nullptr, nullptr);
    EXPECT_EQ(pending.trace.ids.size(), 1u) << "round " << round;
    pending.Set(Relative(3600 * kSecond));
    host::session::Shutdown();
    EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
    host::session::StartManual();
    host::session::StartLive({10.0});
  }
}

}  // namespace
