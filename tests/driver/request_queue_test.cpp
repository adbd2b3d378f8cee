// The queueing core shared by the request classes: starting or queueing, arrival order,
// refusal of cancelled requests, CharsQueued, killing a class, the current-request cancel
// routines; and, live, cancellation racing completion.
#include <gtest/gtest.h>

#include <thread>

#include "host/session/executive.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

class RequestQueueTest : public ManualExecutive {};

// `count` reads sent to the pending-read class, each pending at dispatch.
std::vector<Request*> QueueReads(SerialBench& bench, int count) {
  std::vector<Request*> reads;
  for (int i = 0; i < count; i++) {
    reads.push_back(&bench.Transfer(IRP_MJ_READ, 8));
    EXPECT_EQ(bench.Queue(*reads.back(), &PendingReadClass, StartPendingRead).dispatchStatus, STATUS_PENDING);
  }
  return reads;
}

TEST_F(RequestQueueTest, IdleClassStartsAtOnceOthersWaitTheirTurnInArrivalOrder) {
  SerialBench bench;
  auto reads = QueueReads(bench, 3);
  EXPECT_EQ(bench.Port()->CurrentReadIrp, reads[0]->irp);
  for (int i = 0; i < 3; i++) {
    EndPendingRead(bench.Port(), STATUS_SUCCESS);
    EXPECT_EQ(reads[i]->order, i);
    EXPECT_EQ(bench.Port()->CurrentReadIrp, i < 2 ? reads[i + 1]->irp : nullptr)
        << "the next one starts without any new request arriving";
  }
}

TEST_F(RequestQueueTest, WritesCountInCharsQueuedOnlyWhileAccepted) {
  SerialBench bench;
  PortRecord* port = bench.Port();
  Request& current = bench.Transfer(IRP_MJ_WRITE, 100);
  bench.Send(current, ParkAsCurrent(&WriteClass, CancelCurrentWrite));
  Request& queued = bench.Transfer(IRP_MJ_WRITE, 10);
  EXPECT_EQ(bench.Queue(queued, &WriteClass, nullptr).dispatchStatus, STATUS_PENDING);
  EXPECT_EQ(port->CharsQueued, 10);

  // Refused as already cancelled: completed at once, and its length is given back.
  Request& refused = bench.Transfer(IRP_MJ_WRITE, 7);
  refused.irp->Cancel = TRUE;
  EXPECT_EQ(bench.Queue(refused, &WriteClass, nullptr).dispatchStatus, STATUS_CANCELLED);
  EXPECT_EQ(std::tuple(refused.status, refused.boost, port->CharsQueued),
            std::tuple(STATUS_CANCELLED, CCHAR(IO_NO_INCREMENT), 10)) << "refused on the spot";
  // A class without a queue takes nothing through the queueing core: refused on the spot.
  Request& stray = bench.Transfer(IRP_MJ_WRITE, 3);
  EXPECT_EQ(bench.Queue(stray, &WaitClass, nullptr).dispatchStatus, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(std::pair(stray.status, port->CharsQueued), std::pair(STATUS_INVALID_DEVICE_REQUEST, 10));

  EXPECT_TRUE(IoCancelIrp(QueueReads(bench, 2)[1]->irp));
  EXPECT_EQ(port->CharsQueued, 10) << "a cancelled read leaves CharsQueued alone";
  EXPECT_TRUE(IoCancelIrp(queued.irp));
  EXPECT_EQ(std::tuple(queued.status, queued.boost, port->CharsQueued),
            std::tuple(STATUS_CANCELLED, CCHAR(IO_SERIAL_INCREMENT), 0)) << "it waited";

  // A current request ended cancelled reports no bytes, whatever it had moved.
  current.irp->IoStatus.Information = 60;
  KeSetTimer(&port->WriteTotalTimer, LARGE_INTEGER{.QuadPart = -kSecond}, &port->WriteTimeoutDpc);
  EXPECT_TRUE(IoCancelIrp(current.irp));
  EXPECT_EQ(std::tuple(current.status, current.information, port->CurrentWriteIrp),
            std::tuple(STATUS_CANCELLED, ULONG_PTR{0}, PIRP{}));
  EXPECT_EQ(host::session::ArmedTimerCount(), 0u) << "the class's timer is stopped";
}

TEST_F(RequestQueueTest, KillAllCancelsTheQueuedNewestFirstThenTheCurrent) {
  SerialBench bench;
  auto reads = QueueReads(bench, 4);
  KillAllRequests(bench.Port(), &ReadClass);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(std::tuple(reads[i]->status, reads[i]->information, reads[i]->order),
              std::tuple(STATUS_CANCELLED, ULONG_PTR{0}, 3 - i)) << "newest first";
  }

  // A current purge has no cancel routine: it is only flagged and finishes on its own.
  Request& current = bench.Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXCLEAR);
  bench.Send(current, ParkAsCurrent(&PurgeClass, nullptr));
  Request& queued = bench.Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXCLEAR);
  bench.Queue(queued, &PurgeClass, StartPurge);
  KillAllRequests(bench.Port(), &PurgeClass);
  EXPECT_EQ(queued.status, STATUS_CANCELLED);
  EXPECT_FALSE(current.done);
  EXPECT_TRUE(current.irp->Cancel);
  StartPurge(bench.Port());
  EXPECT_EQ(current.status, STATUS_SUCCESS);
}

// Live: reads ended by a deferred call (as new data ends them) while the test's thread cancels
// them, current or queued. Each ends once, cancelled ones with no bytes, and the class ends idle.
VOID NTAPI EndReadOnData(PKDPC, PVOID context, PVOID, PVOID) {
  EndPendingRead(static_cast<PortRecord*>(context), STATUS_SUCCESS);
}

TEST(RequestQueueRace, CancellationAgainstCompletionEndsEachRequestOnce) {
  host::session::StartLive();
  PortDeferredRoutines routines = PortDeferredRoutineTable;
  routines.ReadDataDpc = EndReadOnData;
  for (int round = 0; round < 200; round++) {
    SerialBench bench(&routines);
    auto reads = QueueReads(bench, 4);
    std::thread canceller([&] {
      for (int i = 0; i < 4; i++) IoCancelIrp(reads[(i + round) % 4]->irp);
    });
    for (int i = 0; i < 4; i++) KeInsertQueueDpc(&bench.Port()->ReadDataDpc, nullptr, nullptr);
    canceller.join();
    ASSERT_TRUE(WaitUntil([&] { return bench.Completions() == 4; }));
    for (Request* read : reads) {
      EXPECT_TRUE(read->status == STATUS_SUCCESS || (read->status == STATUS_CANCELLED && read->information == 0));
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(bench.Port()->CurrentReadIrp, nullptr);
    EXPECT_TRUE(IsListEmpty(&bench.Port()->ReadQueue));
  }
  host::session::Shutdown();
}

}  // namespace
