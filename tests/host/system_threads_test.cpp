// System threads, thread objects and the handle table: creation, ending by return or by
// PsTerminateSystemThread, waiting on a thread through its handle, priorities, and the
// reference counting of host objects.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <tuple>

#include "host/ke/waiter_count.h"
#include "host/ob/objects.h"
#include "host/session/unload_checks.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

using testsupport::WaitUntil;

struct Worker {
  KEVENT go;
  std::atomic<int> levelSeen{-1};
  std::atomic<PKTHREAD> self{nullptr};
  std::atomic<bool> passedTerminate{false};
  std::atomic<LONG> firstPriorityResult{-1};
  std::atomic<LONG> secondPriorityResult{-1};
  std::atomic<LONG> basePriority{0};
};

VOID NTAPI WaitThenTerminate(PVOID context) {
  auto* worker = static_cast<Worker*>(context);
  worker->levelSeen = KeGetCurrentIrql();
  worker->self = KeGetCurrentThread();
  KeWaitForSingleObject(&worker->go, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
  worker->passedTerminate = true;
}

VOID NTAPI RaisePriorityAndReturn(PVOID context) {
  auto* worker = static_cast<Worker*>(context);
  PKTHREAD self = KeGetCurrentThread();
  worker->firstPriorityResult = KeSetBasePriorityThread(self, LOW_REALTIME_PRIORITY);
  worker->secondPriorityResult = KeSetBasePriorityThread(self, LOW_REALTIME_PRIORITY);
  worker->basePriority = self->BasePriority;
}

PKTHREAD ReferenceThread(HANDLE handle) {
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  return static_cast<PKTHREAD>(object);
}

using SystemThreads = testsupport::ManualExecutive;

TEST_F(SystemThreads, WaitOnThreadObjectFromHandleEndsWhenTheThreadTerminatesItself) {
  Worker worker;
  KeInitializeEvent(&worker.go, NotificationEvent, FALSE);
  const size_t handlesBefore = host::ob::OpenHandleCount();
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitThenTerminate,
                                 &worker),
            STATUS_SUCCESS);
  ASSERT_NE(handle, nullptr);
  PKTHREAD thread = ReferenceThread(handle);
  EXPECT_EQ(host::ob::OpenHandleCount(), handlesBefore + 2);
  ASSERT_TRUE(WaitUntil([&] { return host::ke::WaitersOn(&worker.go) == 1; }));
  EXPECT_EQ(worker.self.load(), thread);
  EXPECT_EQ(worker.levelSeen.load(), PASSIVE_LEVEL);
  EXPECT_EQ(host::session::SummarizeLeftovers().systemThreadsAlive, 1u);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

  KeSetEvent(&worker.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  // A thread object stays signalled once its thread has ended.
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_FALSE(worker.passedTerminate.load());
  EXPECT_EQ(host::session::SummarizeLeftovers().systemThreadsAlive, 0u);

  EXPECT_EQ(ObDereferenceObject(thread), 1);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(host::ob::OpenHandleCount(), handlesBefore);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
}

TEST_F(SystemThreads, ReturningFromTheStartRoutineEndsTheThreadAndPriorityIsRecorded) {
  Worker worker;
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, RaisePriorityAndReturn,
                                 &worker),
            STATUS_SUCCESS);
  PKTHREAD thread = ReferenceThread(handle);
  ZwClose(handle);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(worker.firstPriorityResult.load(), worker.secondPriorityResult.load(), worker.basePriority.load()),
            std::tuple(0, LOW_REALTIME_PRIORITY, 8 + LOW_REALTIME_PRIORITY)) << "the previous increment, then the base";
  ObDereferenceObject(thread);
}

TEST_F(SystemThreads, EveryThreadHasItsOwnThreadObjectAndLevel) {
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER)
      << "terminate from a thread the host did not create";
  PKTHREAD mine = KeGetCurrentThread();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PKTHREAD other = nullptr;
  KIRQL otherLevel = HIGH_LEVEL;
  std::thread([&] {
    other = KeGetCurrentThread();
    otherLevel = KeGetCurrentIrql();
  }).join();
  KeLowerIrql(old);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, mine);
  EXPECT_EQ(otherLevel, PASSIVE_LEVEL);
  EXPECT_EQ(mine->Header.SignalState, 0);
}

// A host object that records the two end-of-life notifications.
class Probe : public host::ob::Object {
 public:
  void* Body() override { return &body_; }
  int lastHandleClosed = 0;
  int lastReference = 0;
  int handleClosedBeforeReference = -1;
  void OnLastHandleClosed() override { ++lastHandleClosed; }
  void OnLastReference() override {
    ++lastReference;
    handleClosedBeforeReference = lastHandleClosed;
  }

 private:
  int body_ = 0;
};

TEST(HandleTable, LastHandleThenLastReferenceAreReportedOnceEachInOrder) {
  auto probe = std::make_shared<Probe>();
  const size_t before = host::ob::OpenHandleCount();
  const HANDLE first = host::ob::InsertHandle(probe);
  const HANDLE second = host::ob::InsertHandle(probe);
  EXPECT_NE(first, second);
  EXPECT_EQ(host::ob::OpenHandleCount(), before + 2);
  PVOID body = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(first, 0, nullptr, KernelMode, &body, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(body, probe->Body());
  EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
  EXPECT_EQ(probe->lastHandleClosed, 0);
  EXPECT_EQ(host::ob::ObjectFromHandle(first), nullptr);
  EXPECT_EQ(ObReferenceObjectByHandle(first, 0, nullptr, KernelMode, &body, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(first), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
  EXPECT_EQ(probe->lastHandleClosed, 1);
  EXPECT_EQ(probe->lastReference, 0) << "the body reference still holds it";
  EXPECT_EQ(ObDereferenceObject(body), 0);
  EXPECT_EQ(probe->lastReference, 1);
  EXPECT_EQ(host::ob::OpenHandleCount(), before);
  EXPECT_EQ(probe->handleClosedBeforeReference, 1);

  auto onlyHandled = std::make_shared<Probe>();
  EXPECT_EQ(ZwClose(host::ob::InsertHandle(onlyHandled)), STATUS_SUCCESS);
  EXPECT_EQ(onlyHandled->lastReference, 1) << "without body references it goes with its last handle";
}

TEST(HandleTable, ObjectLivesWhileABodyReferenceHoldsIt) {
  auto probe = std::make_shared<Probe>();
  std::weak_ptr<Probe> watch = probe;
  host::ob::ReferenceBody(probe);
  void* body = probe->Body();
  probe.reset();
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(ObDereferenceObject(body), 0);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
