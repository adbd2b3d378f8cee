// System threads, thread objects and the handle table: creation, ending by return or by
// PsTerminateSystemThread, waiting on a thread through its handle, priorities, and the
// reference counting of host objects.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/ke/waiter_count.h"
#include "host/ob/objects.h"
#include "host/session/unload_checks.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

using testsupport::WaitUntil;

// A system thread that records what it sees, raises its priority twice, waits for `go` and
// then ends by PsTerminateSystemThread or by returning. Read once the thread has ended.
struct Worker {
  KEVENT go;
  bool terminates = false;
  KIRQL levelSeen = HIGH_LEVEL;
  PKTHREAD self = nullptr;
  LONG priorityResults[2] = {-1, -1};
  LONG basePriority = 0;
  bool ranToTheEnd = false;
};

VOID NTAPI Work(PVOID context) {
  auto* worker = static_cast<Worker*>(context);
  worker->levelSeen = KeGetCurrentIrql();
  worker->self = KeGetCurrentThread();
  for (LONG& result : worker->priorityResults) result = KeSetBasePriorityThread(worker->self, LOW_REALTIME_PRIORITY);
  worker->basePriority = worker->self->BasePriority;
  KeWaitForSingleObject(&worker->go, Executive, KernelMode, FALSE, nullptr);
  if (worker->terminates) PsTerminateSystemThread(STATUS_SUCCESS);
  worker->ranToTheEnd = true;
}

using SystemThreads = testsupport::ManualExecutive;

TEST_F(SystemThreads, AThreadEndingByTerminationOrReturnSignalsItsObjectReachedThroughItsHandle) {
  const size_t handlesBefore = host::ob::OpenHandleCount();
  for (const bool terminates : {true, false}) {
    Worker worker;
    worker.terminates = terminates;
    KeInitializeEvent(&worker.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Work, &worker), STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    const auto thread = static_cast<PKTHREAD>(object);
    EXPECT_EQ(host::ob::OpenHandleCount(), handlesBefore + 2);
    ASSERT_TRUE(WaitUntil([&] { return host::ke::WaitersOn(&worker.go) == 1; }));
    EXPECT_EQ(host::session::SummarizeLeftovers().systemThreadsAlive, 1u);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    KeSetEvent(&worker.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS) << "and stays so";
    EXPECT_EQ(host::session::SummarizeLeftovers().systemThreadsAlive, 0u);
    EXPECT_EQ(std::tuple(worker.self, worker.levelSeen, worker.ranToTheEnd), std::tuple(thread, PASSIVE_LEVEL, !terminates));
    EXPECT_EQ(std::tuple(worker.priorityResults[0], worker.priorityResults[1], worker.basePriority),
              std::tuple(0, LOW_REALTIME_PRIORITY, 8 + LOW_REALTIME_PRIORITY)) << "the previous increment, then the base";

    EXPECT_EQ(ObDereferenceObject(thread), 1);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(host::ob::OpenHandleCount(), handlesBefore);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  }
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
  EXPECT_TRUE(other != nullptr && other != mine);
  EXPECT_EQ(otherLevel, PASSIVE_LEVEL);
  EXPECT_EQ(mine->Header.SignalState, 0);
}

// A host object that records the two end-of-life notifications in the order they came.
class Probe : public host::ob::Object {
 public:
  void* Body() override { return &body_; }
  void OnLastHandleClosed() override { heard.push_back("last handle"); }
  void OnLastReference() override { heard.push_back("last reference"); }
  std::vector<std::string> heard;

 private:
  int body_ = 0;
};

TEST(HandleTable, LastHandleThenLastReferenceAreReportedOnceEachInOrder) {
  const std::vector<std::string> both = {"last handle", "last reference"};
  auto probe = std::make_shared<Probe>();
  const size_t before = host::ob::OpenHandleCount();
  const HANDLE first = host::ob::InsertHandle(probe);
  const HANDLE second = host::ob::InsertHandle(probe);
  EXPECT_NE(first, second);
  EXPECT_EQ(host::ob::OpenHandleCount(), before + 2);
  PVOID body = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(first, 0, nullptr, KernelMode, &body, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(body, probe->Body());
  EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
  EXPECT_EQ(host::ob::ObjectFromHandle(first), nullptr);
  EXPECT_EQ(ObReferenceObjectByHandle(first, 0, nullptr, KernelMode, &body, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(first), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(probe->heard.empty()) << "the other handle still holds it";
  EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
  EXPECT_EQ(probe->heard, std::vector<std::string>{"last handle"}) << "the body reference still holds it";
  EXPECT_EQ(ObDereferenceObject(body), 0);
  EXPECT_EQ(probe->heard, both);
  EXPECT_EQ(host::ob::OpenHandleCount(), before);

  auto onlyHandled = std::make_shared<Probe>();
  EXPECT_EQ(ZwClose(host::ob::InsertHandle(onlyHandled)), STATUS_SUCCESS);
  EXPECT_EQ(onlyHandled->heard, both) << "without body references it goes with its last handle";

  // A body reference alone keeps an object that no handle and no one else holds.
  auto held = std::make_shared<Probe>();
  const std::weak_ptr<Probe> watch = held;
  host::ob::ReferenceBody(held);
  body = held->Body();
  held.reset();
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(ObDereferenceObject(body), 0);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
