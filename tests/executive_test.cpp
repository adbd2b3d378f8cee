// Deferred calls, timers, events, waits and the clock of the host executive, in manual mode
// (virtual clock driven by the test) and in live mode (workers and a scaled real clock).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/executive.h"
#include "host/waiter_count.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

using testing_support::Eventually;
using testing_support::kMillisecond;
using testing_support::kSecond;

// What a deferred call saw when it ran.
struct Trace {
  std::vector<int> ids;
  std::vector<int64_t> times;
  std::vector<KIRQL> levels;
  std::vector<PVOID> firstArguments;
};

struct TracedDpc {
  KDPC dpc;
  Trace* trace;
  int id;
};

VOID NTAPI Record(PKDPC, PVOID context, PVOID argument1, PVOID) {
  auto* traced = static_cast<TracedDpc*>(context);
  traced->trace->ids.push_back(traced->id);
  traced->trace->times.push_back(host::SystemTime());
  traced->trace->levels.push_back(KeGetCurrentIrql());
  traced->trace->firstArguments.push_back(argument1);
}

void Bind(TracedDpc* traced, Trace* trace, int id) {
  traced->trace = trace;
  traced->id = id;
  KeInitializeDpc(&traced->dpc, Record, traced);
}

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

using DeferredCalls = testing_support::ManualExecutive;

TEST_F(DeferredCalls, InsertedTwiceBeforeRunningRunsOnceWithTheFirstArguments) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 1);
  int first = 0;
  int second = 0;
  EXPECT_TRUE(KeInsertQueueDpc(&call.dpc, &first, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&call.dpc, &second, nullptr));
  EXPECT_EQ(host::QueuedDpcCount(), 1u);
  EXPECT_EQ(host::RunQueuedDpcs(), 1u);
  ASSERT_EQ(trace.ids.size(), 1u);
  EXPECT_EQ(trace.firstArguments[0], &first);
  EXPECT_EQ(trace.levels[0], DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(host::RunQueuedDpcs(), 0u);
}

TEST_F(DeferredCalls, RemovedCallDoesNotRunAndRemoveReportsWhetherItWasQueued) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 1);
  EXPECT_FALSE(KeRemoveQueueDpc(&call.dpc));
  KeInsertQueueDpc(&call.dpc, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&call.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&call.dpc));
  EXPECT_EQ(host::RunQueuedDpcs(), 0u);
  EXPECT_TRUE(trace.ids.empty());
  // Removed, it can be queued again.
  EXPECT_TRUE(KeInsertQueueDpc(&call.dpc, nullptr, nullptr));
  EXPECT_EQ(host::RunQueuedDpcs(), 1u);
}

TEST_F(DeferredCalls, RunInQueueOrder) {
  Trace trace;
  TracedDpc calls[3];
  for (int i = 0; i < 3; ++i) Bind(&calls[i], &trace, i);
  KeInsertQueueDpc(&calls[2].dpc, nullptr, nullptr);
  KeInsertQueueDpc(&calls[0].dpc, nullptr, nullptr);
  KeInsertQueueDpc(&calls[1].dpc, nullptr, nullptr);
  EXPECT_EQ(host::RunQueuedDpcs(), 3u);
  EXPECT_EQ(trace.ids, (std::vector<int>{2, 0, 1}));
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
  EXPECT_EQ(host::RunQueuedDpcs(), 3u);
  EXPECT_EQ(requeuer.runs, 3);
  EXPECT_TRUE(requeuer.insertResult);
  EXPECT_EQ(host::QueuedDpcCount(), 0u);
}

TEST_F(DeferredCalls, ForgottenByARestartOfTheExecutive) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 1);
  KeInsertQueueDpc(&call.dpc, nullptr, nullptr);
  host::Shutdown();
  host::StartManual();
  EXPECT_EQ(host::QueuedDpcCount(), 0u);
  EXPECT_EQ(host::RunQueuedDpcs(), 0u);
  EXPECT_TRUE(KeInsertQueueDpc(&call.dpc, nullptr, nullptr));
}

using Timers = testing_support::ManualExecutive;

TEST_F(Timers, RelativeDueTimeExpiresExactlyWhenTheClockReachesIt) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 7);
  KTIMER timer;
  KeInitializeTimer(&timer);
  const int64_t start = host::SystemTime();
  EXPECT_FALSE(KeSetTimer(&timer, Relative(10 * kSecond), &call.dpc));
  EXPECT_EQ(host::ArmedTimerCount(), 1u);
  EXPECT_EQ(host::AdvanceClock(10 * kSecond - 1), 0u);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_EQ(host::AdvanceClock(1), 1u);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  ASSERT_EQ(trace.ids, std::vector<int>{7});
  EXPECT_EQ(trace.times[0], start + 10 * kSecond);
  EXPECT_EQ(trace.levels[0], DISPATCH_LEVEL);
  EXPECT_EQ(host::ArmedTimerCount(), 0u);
}

TEST_F(Timers, AbsoluteDueTimeIsASystemTime) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 1);
  KTIMER timer;
  KeInitializeTimer(&timer);
  const int64_t due = host::SystemTime() + 5 * kSecond;
  KeSetTimer(&timer, Absolute(due), &call.dpc);
  host::AdvanceClock(4 * kSecond);
  EXPECT_TRUE(trace.ids.empty());
  host::AdvanceClock(2 * kSecond);
  ASSERT_EQ(trace.times.size(), 1u);
  EXPECT_EQ(trace.times[0], due);
}

TEST_F(Timers, AbsoluteDueTimeInThePastExpiresAtTheNextAdvance) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 1);
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Absolute(host::SystemTime() - kSecond), &call.dpc);
  EXPECT_EQ(host::AdvanceClock(0), 1u);
}

TEST_F(Timers, RearmingAPendingTimerReplacesDueTimeAndCallAndFiresOnce) {
  Trace trace;
  TracedDpc first;
  TracedDpc second;
  Bind(&first, &trace, 1);
  Bind(&second, &trace, 2);
  KTIMER timer;
  KeInitializeTimer(&timer);
  const int64_t start = host::SystemTime();
  EXPECT_FALSE(KeSetTimer(&timer, Relative(10 * kSecond), &first.dpc));
  host::AdvanceClock(2 * kSecond);
  EXPECT_TRUE(KeSetTimer(&timer, Relative(20 * kSecond), &second.dpc));
  EXPECT_EQ(host::ArmedTimerCount(), 1u);
  host::AdvanceClock(20 * kSecond - 1);
  EXPECT_TRUE(trace.ids.empty());
  host::AdvanceClock(60 * kSecond);
  EXPECT_EQ(trace.ids, std::vector<int>{2});
  EXPECT_EQ(trace.times[0], start + 22 * kSecond);
}

TEST_F(Timers, CancelReportsWhetherTheTimerWasArmed) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 1);
  KTIMER timer;
  KeInitializeTimer(&timer);
  EXPECT_FALSE(KeCancelTimer(&timer));
  KeSetTimer(&timer, Relative(kSecond), &call.dpc);
  EXPECT_TRUE(KeCancelTimer(&timer));
  host::AdvanceClock(2 * kSecond);
  EXPECT_TRUE(trace.ids.empty());
  KeSetTimer(&timer, Relative(kSecond), &call.dpc);
  host::AdvanceClock(kSecond);
  EXPECT_EQ(trace.ids.size(), 1u);
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(Timers, ExpireInDueOrderEachAtItsOwnTime) {
  Trace trace;
  TracedDpc calls[3];
  KTIMER timers[3];
  const int64_t start = host::SystemTime();
  const int64_t dueSeconds[3] = {3, 1, 2};
  for (int i = 0; i < 3; ++i) {
    Bind(&calls[i], &trace, i);
    KeInitializeTimer(&timers[i]);
    KeSetTimer(&timers[i], Relative(dueSeconds[i] * kSecond), &calls[i].dpc);
  }
  EXPECT_EQ(host::AdvanceClock(10 * kSecond), 3u);
  EXPECT_EQ(trace.ids, (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(trace.times, (std::vector<int64_t>{start + kSecond, start + 2 * kSecond,
                                               start + 3 * kSecond}));
  EXPECT_EQ(host::SystemTime(), start + 10 * kSecond);
}

struct Chain {
  KDPC dpc;
  KTIMER timer;
  int runs = 0;
  std::vector<int64_t> times;
};

VOID NTAPI RearmFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* chain = static_cast<Chain*>(context);
  chain->times.push_back(host::SystemTime());
  if (++chain->runs < 3) KeSetTimer(&chain->timer, Relative(kSecond), &chain->dpc);
}

TEST_F(Timers, TimerArmedByADeferredCallWithinTheAdvanceExpiresInTheSameAdvance) {
  Chain chain;
  KeInitializeDpc(&chain.dpc, RearmFromDpc, &chain);
  KeInitializeTimer(&chain.timer);
  const int64_t start = host::SystemTime();
  KeSetTimer(&chain.timer, Relative(kSecond), &chain.dpc);
  EXPECT_EQ(host::AdvanceClock(5 * kSecond / 2), 2u);
  EXPECT_EQ(chain.times, (std::vector<int64_t>{start + kSecond, start + 2 * kSecond}));
  EXPECT_EQ(host::ArmedTimerCount(), 1u);
  host::AdvanceClock(kSecond);
  EXPECT_EQ(chain.runs, 3);
}

TEST_F(Timers, BusyWaitMovesTheClockButExpiresNothing) {
  Trace trace;
  TracedDpc call;
  Bind(&call, &trace, 1);
  KTIMER timer;
  KeInitializeTimer(&timer);
  const int64_t start = host::SystemTime();
  KeSetTimer(&timer, Relative(kMillisecond), &call.dpc);
  KeStallExecutionProcessor(2000);
  EXPECT_EQ(host::SystemTime(), start + 2 * kMillisecond);
  EXPECT_EQ(host::ArmedTimerCount(), 1u);
  EXPECT_TRUE(trace.ids.empty());
  EXPECT_EQ(host::AdvanceClock(0), 1u);
  // It expired late, at the time the test let it.
  EXPECT_EQ(trace.times[0], start + 2 * kMillisecond);
}

TEST_F(Timers, ExpiredNotificationTimerSatisfiesWaitsUntilSetAgain) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(kSecond), nullptr);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  host::AdvanceClock(kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  KeSetTimer(&timer, Relative(kSecond), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(Timers, ForgottenByARestartOfTheExecutive) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(kSecond), nullptr);
  host::Shutdown();
  host::StartManual();
  EXPECT_EQ(host::ArmedTimerCount(), 0u);
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeSetTimer(&timer, Relative(kSecond), nullptr));
}

using Events = testing_support::ManualExecutive;

TEST_F(Events, SetResetAndClearReportAndChangeTheState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KEVENT initiallySet;
  KeInitializeEvent(&initiallySet, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeReadStateEvent(&initiallySet), 1);
}

TEST_F(Events, SatisfiedWaitConsumesASynchronizationEventButNotANotificationEvent) {
  LARGE_INTEGER poll{};
  KEVENT automatic;
  KeInitializeEvent(&automatic, SynchronizationEvent, FALSE);
  KeSetEvent(&automatic, LOW_REALTIME_PRIORITY, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&automatic, Executive, KernelMode, FALSE, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&automatic), 0);
  EXPECT_EQ(KeWaitForSingleObject(&automatic, Executive, KernelMode, FALSE, &poll),
            STATUS_TIMEOUT);
  KEVENT manual;
  KeInitializeEvent(&manual, NotificationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&manual, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&manual, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
}

// Threads blocked on one event, each counting its release.
struct Waiters {
  KEVENT event;
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  void Start(int count) {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this] {
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) ==
            STATUS_SUCCESS) {
          ++released;
        }
      });
    }
    ASSERT_TRUE(Eventually([&] { return host::WaitersOn(&event) == static_cast<size_t>(count); }));
  }
  ~Waiters() {
    for (auto& thread : threads) thread.join();
  }
};

TEST_F(Events, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
  Waiters waiters;
  KeInitializeEvent(&waiters.event, SynchronizationEvent, FALSE);
  waiters.Start(3);
  EXPECT_EQ(KeSetEvent(&waiters.event, LOW_REALTIME_PRIORITY, FALSE), 0);
  EXPECT_EQ(host::WaitersOn(&waiters.event), 2u);
  EXPECT_EQ(KeReadStateEvent(&waiters.event), 0);
  EXPECT_TRUE(Eventually([&] { return waiters.released == 1; }));
  KeSetEvent(&waiters.event, LOW_REALTIME_PRIORITY, FALSE);
  KeSetEvent(&waiters.event, LOW_REALTIME_PRIORITY, FALSE);
  EXPECT_EQ(host::WaitersOn(&waiters.event), 0u);
  EXPECT_TRUE(Eventually([&] { return waiters.released == 3; }));
  EXPECT_EQ(KeReadStateEvent(&waiters.event), 0);
}

TEST_F(Events, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  Waiters waiters;
  KeInitializeEvent(&waiters.event, NotificationEvent, FALSE);
  waiters.Start(3);
  KeSetEvent(&waiters.event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(host::WaitersOn(&waiters.event), 0u);
  EXPECT_TRUE(Eventually([&] { return waiters.released == 3; }));
  EXPECT_EQ(KeReadStateEvent(&waiters.event), 1);
}

using Waits = testing_support::ManualExecutive;

struct TimedWait {
  KEVENT event;
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::atomic<int64_t> returnedAt{0};
  std::thread thread;
  void Start(LARGE_INTEGER timeout) {
    thread = std::thread([this, timeout]() mutable {
      status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      returnedAt = host::SystemTime();
    });
    ASSERT_TRUE(Eventually([&] { return host::WaitersOn(&event) == 1; }));
  }
  ~TimedWait() {
    if (thread.joinable()) thread.join();
  }
};

TEST_F(Waits, RelativeTimeOutEndsTheWaitWhenTheVirtualClockPassesIt) {
  TimedWait wait;
  KeInitializeEvent(&wait.event, NotificationEvent, FALSE);
  const int64_t start = host::SystemTime();
  wait.Start(Relative(5 * kSecond));
  host::AdvanceClock(4 * kSecond);
  EXPECT_EQ(wait.status.load(), STATUS_PENDING);
  host::AdvanceClock(kSecond);
  wait.thread.join();
  EXPECT_EQ(wait.status.load(), STATUS_TIMEOUT);
  EXPECT_GE(wait.returnedAt.load(), start + 5 * kSecond);
  EXPECT_EQ(host::WaitersOn(&wait.event), 0u);
}

TEST_F(Waits, AbsoluteTimeOutAndBusyWaitsOfOtherThreadsCountToo) {
  TimedWait wait;
  KeInitializeEvent(&wait.event, NotificationEvent, FALSE);
  const int64_t deadline = host::SystemTime() + 3 * kMillisecond;
  wait.Start(Absolute(deadline));
  for (int i = 0; i < 30; ++i) KeStallExecutionProcessor(100);
  wait.thread.join();
  EXPECT_EQ(wait.status.load(), STATUS_TIMEOUT);
  EXPECT_GE(wait.returnedAt.load(), deadline);
}

TEST_F(Waits, SignalBeforeTheTimeOutSucceeds) {
  TimedWait wait;
  KeInitializeEvent(&wait.event, SynchronizationEvent, FALSE);
  wait.Start(Relative(kSecond));
  KeSetEvent(&wait.event, LOW_REALTIME_PRIORITY, FALSE);
  wait.thread.join();
  EXPECT_EQ(wait.status.load(), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&wait.event), 0);
}

TEST_F(Waits, ZeroOrPastTimeOutPollsWithoutBlocking) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero{};
  LARGE_INTEGER past = Absolute(host::SystemTime() - kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
  // Polling is allowed at dispatch level.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeLowerIrql(old);
}

using Clock = testing_support::ManualExecutive;

TEST_F(Clock, ManualModeStartsAtAFixedTimeAndMovesOnlyWhenTold) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, host::SystemTime());
  // 2024-01-01 in 100-ns units since 1601.
  EXPECT_EQ(now.QuadPart, 133485408000000000LL);
  EXPECT_EQ(host::SystemTime(), now.QuadPart);
  host::AdvanceClock(3 * kSecond);
  EXPECT_EQ(host::SystemTime(), now.QuadPart + 3 * kSecond);
  host::StartManual();
  EXPECT_EQ(host::SystemTime(), now.QuadPart);
  EXPECT_EQ(host::CurrentMode(), host::Mode::Manual);
}

TEST(ExtendedMultiply, SignedSixtyFourByThirtyTwoBits) {
  LARGE_INTEGER value;
  value.QuadPart = -10000;
  EXPECT_EQ(RtlExtendedIntegerMultiply(value, 8000).QuadPart, -80000000LL);
  value.QuadPart = 0x100000000LL;
  EXPECT_EQ(RtlExtendedIntegerMultiply(value, -3).QuadPart, -0x300000000LL);
}

// Live mode: a deferred call that records when and where it ran and sets an event.
struct LiveProbe {
  KDPC dpc;
  KEVENT done;
  std::atomic<int64_t> ranAt{0};
  std::atomic<int> level{-1};
  std::atomic<int> runs{0};
};

VOID NTAPI LiveRecord(PKDPC, PVOID context, PVOID, PVOID) {
  auto* probe = static_cast<LiveProbe*>(context);
  probe->ranAt = host::SystemTime();
  probe->level = KeGetCurrentIrql();
  ++probe->runs;
  KeSetEvent(&probe->done, IO_NO_INCREMENT, FALSE);
}

class LiveExecutive : public ::testing::Test {
 protected:
  void TearDown() override { host::Shutdown(); }
};

TEST_F(LiveExecutive, ScaledTimerFiresOnAWorkerNoEarlierThanItsVirtualDueTime) {
  host::StartLive({2, 50.0});
  EXPECT_EQ(host::CurrentMode(), host::Mode::Live);
  LiveProbe probe;
  KeInitializeDpc(&probe.dpc, LiveRecord, &probe);
  KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
  KTIMER timer;
  KeInitializeTimer(&timer);
  const int64_t start = host::SystemTime();
  KeSetTimer(&timer, Relative(2 * kSecond), &probe.dpc);
  LARGE_INTEGER limit = Relative(600 * kSecond);
  ASSERT_EQ(KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, &limit),
            STATUS_SUCCESS);
  EXPECT_GE(probe.ranAt.load(), start + 2 * kSecond);
  EXPECT_EQ(probe.level.load(), DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(LiveExecutive, WaitTimeOutAndBusyWaitLastAtLeastTheirVirtualTime) {
  host::StartLive({1, 20.0});
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  const int64_t start = host::SystemTime();
  LARGE_INTEGER timeout = Relative(kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  const int64_t afterWait = host::SystemTime();
  EXPECT_GE(afterWait, start + kSecond);
  KeStallExecutionProcessor(500000);
  EXPECT_GE(host::SystemTime(), afterWait + 500 * kMillisecond);
}

TEST_F(LiveExecutive, SystemTimeFollowsTheWallClock) {
  host::StartLive({1, 1.0});
  const auto unix100ns = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() * 10;
  const int64_t expected = 116444736000000000LL + unix100ns;
  EXPECT_NEAR(static_cast<double>(host::SystemTime()), static_cast<double>(expected),
              60.0 * kSecond);
}

// A deferred call that re-queues itself while running and checks that it never runs twice at
// once, on any number of workers.
struct SelfRequeue {
  KDPC dpc;
  KEVENT done;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> runs{0};
  int wanted = 200;
};

VOID NTAPI RequeueOnWorkers(PKDPC dpc, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<SelfRequeue*>(context);
  if (++self->inside != 1) ++self->overlaps;
  if (++self->runs < self->wanted) KeInsertQueueDpc(dpc, nullptr, nullptr);
  std::this_thread::yield();
  --self->inside;
  if (self->runs == self->wanted) KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(LiveExecutive, DeferredCallQueuedWhileRunningRunsAgainButNeverTwiceAtOnce) {
  host::StartLive({4, 1.0});
  SelfRequeue self;
  KeInitializeDpc(&self.dpc, RequeueOnWorkers, &self);
  KeInitializeEvent(&self.done, NotificationEvent, FALSE);
  KeInsertQueueDpc(&self.dpc, nullptr, nullptr);
  LARGE_INTEGER limit = Relative(60 * kSecond);
  ASSERT_EQ(KeWaitForSingleObject(&self.done, Executive, KernelMode, FALSE, &limit),
            STATUS_SUCCESS);
  EXPECT_EQ(self.runs.load(), self.wanted);
  EXPECT_EQ(self.overlaps.load(), 0);
}

TEST_F(LiveExecutive, RestartsRepeatedlyInEitherModeWithNothingLeftOver) {
  for (int round = 0; round < 3; ++round) {
    host::StartLive({2, 10.0});
    LiveProbe probe;
    KeInitializeDpc(&probe.dpc, LiveRecord, &probe);
    KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    LARGE_INTEGER limit = Relative(60 * kSecond);
    ASSERT_EQ(KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, &limit),
              STATUS_SUCCESS);
    KTIMER pending;
    KeInitializeTimer(&pending);
    KeSetTimer(&pending, Relative(3600 * kSecond), &probe.dpc);
    host::Shutdown();
    EXPECT_EQ(host::ArmedTimerCount(), 0u);
    host::StartManual();
    EXPECT_EQ(host::CurrentMode(), host::Mode::Manual);
    EXPECT_EQ(host::AdvanceClock(7200 * kSecond), 0u);
    EXPECT_EQ(probe.runs.load(), 1);
  }
}

}  // namespace
