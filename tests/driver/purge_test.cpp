// Purge: the clear bits change nothing, the abort bits cancel every write and read, queued
// and current, and a read that arrives as the current one is killed starts in the purging
// thread, which holds no port lock (its start routine takes PortLock).
#include <gtest/gtest.h>

#include <utility>

#include "host/session/executive.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

class PurgeTest : public ManualExecutive {};

Request& Purge(SerialBench& bench, ULONG mask) {
  return bench.Queue(bench.Control(IOCTL_SERIAL_PURGE, mask), &PurgeClass, StartPurge);
}

TEST_F(PurgeTest, ClearBitsChangeNothingAbortBitsCancelEveryWriteThenEveryRead) {
  SerialBench bench;
  Request& write = bench.Transfer(IRP_MJ_WRITE, 4);
  bench.Send(write, ParkAsCurrent(&WriteClass, CancelCurrentWrite));
  Request& queuedWrite = bench.Transfer(IRP_MJ_WRITE, 4);
  bench.Queue(queuedWrite, &WriteClass, nullptr);
  Request* reads[2];
  for (Request*& read : reads) {
    read = &bench.Transfer(IRP_MJ_READ, 4);
    bench.Queue(*read, &PendingReadClass, StartPendingRead);
  }
  PortTable[0].RxRing.WriteIndex = 5;
  PortTable[0].TxRing.WriteIndex = 3;

  for (ULONG clear : {SERIAL_PURGE_TXCLEAR, SERIAL_PURGE_RXCLEAR}) {
    Request& purge = Purge(bench, clear);
    EXPECT_EQ(std::pair(purge.dispatchStatus, purge.status), std::pair(STATUS_SUCCESS, STATUS_SUCCESS));
  }
  EXPECT_EQ(bench.Completions(), 2) << "only the two purges ended";
  EXPECT_EQ(std::pair(PortTable[0].RxRing.WriteIndex, PortTable[0].TxRing.WriteIndex), std::pair(5, 3));
  EXPECT_TRUE(bench.TakePackets().empty());

  EXPECT_EQ(Purge(bench, SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT).status, STATUS_SUCCESS);
  const Request* cancelledInOrder[] = {&queuedWrite, &write, reads[1], reads[0]};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(std::pair(cancelledInOrder[i]->status, cancelledInOrder[i]->order), std::pair(STATUS_CANCELLED, 2 + i));
  }
}

// A read class whose get-next routine first lets a new read arrive, as one sent on another
// processor at that moment would: when the purge cancels the current read, the new read is
// queued just in time to become current and be started in the purging thread.
SerialBench* arrivalBench = nullptr;
Request* arrival = nullptr;

VOID ArriveThenGetNext(PortRecord* port, const RequestClass* requestClass, PIRP* next, BOOLEAN completeOld) {
  if (arrival != nullptr) {
    arrivalBench->Queue(*std::exchange(arrival, nullptr), &PendingReadClass, StartPendingRead);
  }
  GetNextRequest(port, requestClass, next, completeOld);
}

extern const RequestClass ArrivingReadClass;
VOID NTAPI CancelArrivingRead(PDEVICE_OBJECT device, PIRP irp) {
  CancelCurrentRequest(device, irp, &ArrivingReadClass);
}
const RequestClass ArrivingReadClass = {
    &PortRecord::CurrentReadIrp, &PortRecord::ReadQueue, nullptr, nullptr,
    StartPendingRead, ArriveThenGetNext, CancelArrivingRead,
};

TEST_F(PurgeTest, AReadArrivingAsTheCurrentOneIsKilledIsStartedInThePurgingThread) {
  SerialBench bench;
  Request& current = bench.Transfer(IRP_MJ_READ, 4);
  bench.Send(current, ParkAsCurrent(&ArrivingReadClass, CancelArrivingRead));
  arrivalBench = &bench;
  arrival = &bench.Transfer(IRP_MJ_READ, 4);
  Request& arrived = *arrival;
  EXPECT_EQ(Purge(bench, SERIAL_PURGE_RXABORT).status, STATUS_SUCCESS);
  EXPECT_EQ(current.status, STATUS_CANCELLED);
  EXPECT_EQ(bench.Port()->CurrentReadIrp, arrived.irp) << "it arrived after the purge began";
  EXPECT_FALSE(arrived.done);
}

}  // namespace
