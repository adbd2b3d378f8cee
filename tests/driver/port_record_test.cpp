// A port record's creation values and deferred calls, and the quiesce that unload relies on.
#include <gtest/gtest.h>

#include "driver/port_devices.h"
#include "host/session/executive.h"
#include "support/driver_ports.h"
#include "support/executive_session.h"

using testsupport::DriverPorts;

namespace {

using PortRecordTest = testsupport::ManualExecutive;

// Creation clears what an earlier port left in its table entry and gives the record the
// values no request sets before they are used.
TEST_F(PortRecordTest, NewRecordHasItsCreationValuesAndAClearedTableEntry) {
  PortTable[1] = {.TxRing = {nullptr, 17, 0}, .RxRing = {nullptr, 0, 33}, .TxPending = 1,
                  .RemoteAddress = 0x7F000001, .RemoteChannel = 12, .InSeq = 9, .OutSeq = 4};
  DriverPorts ports(2, /*startPort=*/3);
  PortRecord* record = ports.Record(1);
  EXPECT_EQ(std::tuple(record->PortIndex, record->ComNumber, record->BaudRate, record->LineControl),
            std::tuple(1, 4u, 9600u, UCHAR(3)));
  EXPECT_EQ(std::tuple(record->SpecialChars[SPECIAL_XON], record->SpecialChars[SPECIAL_XOFF]),
            std::tuple(UCHAR(0x11), UCHAR(0x13)));
  const PortTableEntry& entry = PortTable[1];
  EXPECT_EQ(entry.PortRecord, record);
  EXPECT_EQ(std::tuple(entry.TxRing.ReadIndex, entry.RxRing.WriteIndex, entry.TxPending, entry.OutSeq,
                       entry.InSeq, entry.RemoteAddress, entry.RemoteChannel), std::tuple(0, 0, 0, 0, 0, 0u, 0));
}

// Which routine ran last, and with which context.
int ranRoutine = -1;
PVOID ranContext = nullptr;
template <int N>
VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
  ranRoutine = N;
  ranContext = context;
}

// Each of the nine calls is bound to its own routine of the table, in the table's order; a
// quiesce takes every one of them off the queue and stops every timer.
TEST_F(PortRecordTest, DeferredCallsAreBoundWithTheRecordAsContextAndAQuiesceRemovesThemAll) {
  const PortDeferredRoutines routines = {Routine<0>, Routine<1>, Routine<2>, Routine<3>, Routine<4>,
                                         Routine<5>, Routine<6>, Routine<7>, Routine<8>};
  auto* record = static_cast<PortRecord*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PortRecord), POOL_TAG));
  RtlZeroMemory(record, sizeof(PortRecord));
  InitializePortRecord(record, 0, &routines);
  PKDPC inTableOrder[] = {&record->WriteDpc, &record->ReadDataDpc, &record->ReadTotalTimeoutDpc,
                          &record->ReadIntervalTimeoutDpc, &record->WriteTimeoutDpc,
                          &record->CompleteWaitDpc, &record->ImmediateSendDpc,
                          &record->ImmediateTimeoutDpc, &record->AckTimeoutDpc};
  for (int i = 0; i < 9; i++) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(KeInsertQueueDpc(inTableOrder[i], nullptr, nullptr));
    EXPECT_EQ(host::session::RunQueuedDpcs(), 1u);
    EXPECT_EQ(std::pair(ranRoutine, ranContext), std::pair(i, PVOID(record)));  // no other routine gives i
    KeInsertQueueDpc(inTableOrder[i], nullptr, nullptr);
    for (KTIMER* timer : {&record->ReadTotalTimer, &record->ReadIntervalTimer, &record->WriteTotalTimer,
                          &record->ImmediateTotalTimer, &record->AckTimer}) {
      KeSetTimer(timer, LARGE_INTEGER{.QuadPart = -1}, inTableOrder[(i + 1) % 9]);
    }
    QuiescePort(record);
    EXPECT_EQ(std::pair(host::session::ArmedTimerCount(), host::session::RunQueuedDpcs()), std::pair(size_t{0}, size_t{0}));
  }
  PortTable[0] = {};
  ExFreePool(record);
}

}  // namespace
