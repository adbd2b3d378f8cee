// Creation values of a port record and of its port-table entries.
#include <gtest/gtest.h>

#include "host/session/executive.h"
#include "link/link_packet.h"
#include "support/driver_ports.h"
#include "support/executive_session.h"

using testsupport::DriverPorts;

namespace {

using PortRecordTest = testsupport::ManualExecutive;

TEST_F(PortRecordTest, NewRecordHasItsCreationValues) {
  // Leave stale values in the table entry first: creation must clear them.
  PortTable[1].TxRing.ReadIndex = 17;
  PortTable[1].RxRing.WriteIndex = 33;
  PortTable[1].TxPending = 1;
  PortTable[1].OutSeq = 4;
  PortTable[1].InSeq = 9;
  PortTable[1].RemoteAddress = 0x7F000001;
  PortTable[1].RemoteChannel = 12;

  DriverPorts ports(2, /*startPort=*/3);
  PortRecord* record = ports.Record(1);
  EXPECT_EQ(record->PortIndex, 1);
  EXPECT_EQ(record->ComNumber, 4u);
  EXPECT_EQ(record->SpecialChars[SPECIAL_XON], 0x11);
  EXPECT_EQ(record->SpecialChars[SPECIAL_XOFF], 0x13);
  EXPECT_EQ(record->BaudRate, 9600u);
  EXPECT_EQ(record->LineControl, 3);
  EXPECT_EQ(record->LinkFlags, 0);
  EXPECT_EQ(record->WaitMask, 0u);
  for (ULONG value : record->HandFlow) EXPECT_EQ(value, 0u);
  for (PLIST_ENTRY queue : {&record->ReadQueue, &record->WriteQueue, &record->MaskQueue,
                            &record->PurgeQueue}) {
    EXPECT_TRUE(IsListEmpty(queue));
  }
  for (PIRP current : {record->CurrentReadIrp, record->CurrentWriteIrp, record->CurrentWaitIrp,
                       record->CurrentMaskIrp, record->CurrentPurgeIrp,
                       record->CurrentImmediateIrp}) {
    EXPECT_EQ(current, nullptr);
  }

  const PortTableEntry& entry = PortTable[1];
  EXPECT_EQ(entry.PortRecord, record);
  EXPECT_EQ(entry.TxRing.Buffer, nullptr);
  EXPECT_EQ(entry.TxRing.ReadIndex, 0);
  EXPECT_EQ(entry.RxRing.Buffer, nullptr);
  EXPECT_EQ(entry.RxRing.WriteIndex, 0);
  EXPECT_EQ(entry.ControlQueue, nullptr);
  EXPECT_EQ(entry.TxPending, 0);
  EXPECT_EQ(entry.OutSeq, 0);
  EXPECT_EQ(entry.InSeq, 0);
  EXPECT_EQ(entry.RemoteAddress, 0u);
  EXPECT_EQ(entry.RemoteChannel, 0);
}

// Which routine ran last, and with which context.
int ranRoutine = -1;
PVOID ranContext = nullptr;
template <int N>
VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
  ranRoutine = N;
  ranContext = context;
}

// Each of the nine calls is bound to its own routine of the table, in the table's order.
TEST_F(PortRecordTest, DeferredCallsAreBoundWithTheRecordAsContext) {
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
    ranRoutine = -1;
    ranContext = nullptr;
    EXPECT_TRUE(KeInsertQueueDpc(inTableOrder[i], nullptr, nullptr));
    EXPECT_EQ(host::RunQueuedDpcs(), 1u);
    EXPECT_EQ(ranRoutine, i);
    EXPECT_EQ(ranContext, record);
  }

  PortTable[0] = {};
  ExFreePool(record);
}

}  // namespace
