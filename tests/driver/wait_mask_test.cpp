// Wait on mask: the mask requests, the pending wait and the events handed to it, in every
// order in which a hand-over, a cancellation and a late completion call can meet; and, live,
// cancellation racing hand-over and mask requests racing a wait's acceptance.
#include <gtest/gtest.h>

#include <thread>

#include "host/session/executive.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

class WaitMaskTest : public ManualExecutive {};

Request& SetMask(SerialBench& bench, ULONG mask) {
  return bench.Queue(bench.Control(IOCTL_SERIAL_SET_WAIT_MASK, mask), &MaskClass, StartMask);
}

Request& Wait(SerialBench& bench) {
  return bench.Queue(bench.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), &MaskClass, StartMask);
}

void ExpectEvents(const Request& wait, ULONG events) {
  EXPECT_EQ(std::tuple(wait.status, wait.information, wait.Mask(), wait.boost),
            std::tuple(STATUS_SUCCESS, ULONG_PTR{sizeof(ULONG)}, events, CCHAR(IO_SERIAL_INCREMENT)));
}

// A wait needs a mask, is alone, and gets the history at once. A new mask ends the wait
// empty and keeps only the history of its own events.
TEST_F(WaitMaskTest, AWaitNeedsAMaskIsAloneAndGetsHistoryAtOnceANewMaskEndsItEmpty) {
  SerialBench bench;
  EXPECT_EQ(Wait(bench).dispatchStatus, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetMask(bench, SERIAL_EV_RXCHAR | SERIAL_EV_BREAK).status, STATUS_SUCCESS);
  Request& first = Wait(bench);
  EXPECT_EQ(first.dispatchStatus, STATUS_PENDING);
  EXPECT_EQ(Wait(bench).status, STATUS_INVALID_PARAMETER) << "a second wait is refused";
  RaiseEvents(bench.Port());
  host::session::RunQueuedDpcs();
  ExpectEvents(first, SERIAL_EV_RXCHAR | SERIAL_EV_BREAK);

  RaiseEvents(bench.Port());
  Request& late = Wait(bench);
  EXPECT_EQ(late.dispatchStatus, STATUS_PENDING);
  host::session::RunQueuedDpcs();
  ExpectEvents(late, SERIAL_EV_RXCHAR | SERIAL_EV_BREAK);

  SetMask(bench, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
  Request& wait = Wait(bench);
  SetMask(bench, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
  host::session::RunQueuedDpcs();
  ExpectEvents(wait, 0);

  RaiseEvents(bench.Port());
  CheckTxEmpty(bench.Port());
  SetMask(bench, SERIAL_EV_TXEMPTY);
  Request& next = Wait(bench);
  host::session::RunQueuedDpcs();
  ExpectEvents(next, SERIAL_EV_TXEMPTY);
}

TEST_F(WaitMaskTest, TxEmptyOnlyWhenNothingIsLeftToSend) {
  SerialBench bench;
  PortRecord* port = bench.Port();
  SetMask(bench, SERIAL_EV_TXEMPTY);
  Request& wait = Wait(bench);
  Request& write = bench.Transfer(IRP_MJ_WRITE, 4);
  bench.Send(write, ParkAsCurrent(&WriteClass, CancelCurrentWrite));
  CheckTxEmpty(port);
  port->ImmediatePending = 1;
  IoCancelIrp(write.irp);
  CheckTxEmpty(port);
  EXPECT_EQ(port->HistoryMask, 0u);
  port->ImmediatePending = 0;
  CheckTxEmpty(port);
  host::session::RunQueuedDpcs();
  ExpectEvents(wait, SERIAL_EV_TXEMPTY);
}

// A delivered wait cancelled before its completion call runs ends cancelled; that late call
// must then leave a new, still waiting wait alone; and events after a cancellation touch no
// request.
TEST_F(WaitMaskTest, AWaitEndsOnceWhicheverRoutineComesFirst) {
  SerialBench bench;
  PortRecord* port = bench.Port();
  SetMask(bench, SERIAL_EV_RXCHAR);
  Request& delivered = Wait(bench);
  RaiseEvents(port);
  EXPECT_TRUE(IoCancelIrp(delivered.irp));
  EXPECT_EQ(std::pair(delivered.status, delivered.information), std::pair(STATUS_CANCELLED, ULONG_PTR{0}));

  Request& waiting = Wait(bench);
  host::session::RunQueuedDpcs();
  EXPECT_FALSE(waiting.done) << "the late completion call ended a wait it was not queued for";
  EXPECT_TRUE(IoCancelIrp(waiting.irp));
  EXPECT_EQ(waiting.status, STATUS_CANCELLED);
  RaiseEvents(port);
  EXPECT_EQ(std::pair(port->HistoryMask, host::session::QueuedDpcCount()), std::pair(ULONG(SERIAL_EV_RXCHAR), size_t{0}));
  EXPECT_TRUE(waiting.UntouchedSinceCompletion());
}

// Busy for a while: a sweep of these delays sweeps one thread's arrival across another's.
void Spin(int count) {
  for (std::atomic<int> spin = 0; spin < count; spin++) {
  }
}

VOID NTAPI RaiseOnData(PKDPC, PVOID context, PVOID, PVOID) {
  RaiseEvents(static_cast<PortRecord*>(context));
}

TEST(WaitMaskRace, CancellationAgainstHandOverEndsEachWaitOnce) {
  host::session::StartLive();
  PortDeferredRoutines routines = PortDeferredRoutineTable;
  routines.ReadDataDpc = RaiseOnData;
  for (int round = 0; round < 400; round++) {
    SerialBench bench(&routines);
    SetMask(bench, SERIAL_EV_RXCHAR);
    Request& wait = Wait(bench);
    std::thread canceller([&] {
      Spin(round % 100 * 20);
      IoCancelIrp(wait.irp);
    });
    KeInsertQueueDpc(&bench.Port()->ReadDataDpc, nullptr, nullptr);
    canceller.join();
    ASSERT_TRUE(WaitUntil([&] { return wait.done.load(); }));
    KeFlushQueuedDpcs();
    if (wait.status == STATUS_SUCCESS) {
      ExpectEvents(wait, SERIAL_EV_RXCHAR);
    } else {
      EXPECT_EQ(std::pair(wait.status, wait.information), std::pair(STATUS_CANCELLED, ULONG_PTR{0}));
    }
    EXPECT_TRUE(wait.UntouchedSinceCompletion());
    EXPECT_EQ(bench.Port()->IrpMaskLocation, nullptr);
  }
  host::session::Shutdown();
}

// A mask request arriving while a wait is being accepted is served, never lost or served twice.
TEST(WaitMaskRace, MaskRequestsRacingAnAcceptedWaitAreAllServed) {
  host::session::StartLive();
  for (int round = 0; round < 400; round++) {
    SerialBench bench;
    SetMask(bench, SERIAL_EV_RXCHAR);
    Request& wait = bench.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    Request& set = bench.Control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR);
    std::atomic<int> ready{0};
    auto send = [&](Request& request, int delay) {
      for (ready++; ready.load() < 2;) {
      }
      Spin(delay);
      bench.Queue(request, &MaskClass, StartMask);
    };
    std::thread waiter(send, std::ref(wait), 0);
    send(set, round % 100 * 20);  // a sweep of arrival times
    waiter.join();
    ASSERT_TRUE(WaitUntil([&] { return set.done.load(); }));
    EXPECT_EQ(std::pair(set.status, wait.dispatchStatus), std::pair(STATUS_SUCCESS, STATUS_PENDING));
  }
  host::session::Shutdown();
}

}  // namespace
