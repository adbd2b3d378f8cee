// Creation values of a port record and its port-table entries.
#include "port/port_record.h"

// Clears a port's port-table entries to their creation values and points the entry at its
// record. The rings stay unattached: open attaches them to the shared ring storage.
static VOID ResetPortTableEntry(PortTableEntry* entry, PortRecord* record) {
  entry->RxRing.ReadIndex = 0;
  entry->RxRing.WriteIndex = 0;
  entry->RxRing.Buffer = NULL;
  entry->TxRing.Buffer = NULL;
  entry->TxRing.ReadIndex = 0;
  entry->TxRing.WriteIndex = 0;
  entry->TxPending = 0;
  entry->TxHeld = 0;
  entry->OpensQueued = 0;
  entry->OpensUnanswered = 0;
  entry->ControlQueue = NULL;
  entry->OutSeq = 0;
  entry->InSeq = 0;
  entry->RemoteAddress = 0;
  entry->RemoteChannel = 0;
  entry->PortRecord = record;
}

VOID InitializePortRecord(PortRecord* record, LONG portIndex, const PortDeferredRoutines* routines) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  ResetPortTableEntry(&PortTable[portIndex], record);

  record->PortIndex = portIndex;
  // Unsigned: no configured StartPort makes the sum overflow.
  record->ComNumber = (ULONG)portIndex + (ULONG)StartPort;

  InitializeListHead(&record->ReadQueue);
  InitializeListHead(&record->WriteQueue);
  InitializeListHead(&record->MaskQueue);
  InitializeListHead(&record->PurgeQueue);
  record->CurrentReadIrp = NULL;
  record->CurrentWriteIrp = NULL;
  record->CurrentWaitIrp = NULL;
  record->CurrentMaskIrp = NULL;
  record->CurrentPurgeIrp = NULL;
  record->CurrentImmediateIrp = NULL;

  record->LinkFlags = 0;
  record->SpecialChars[SPECIAL_XON] = 0x11;
  record->SpecialChars[SPECIAL_XOFF] = 0x13;
  for (int i = 0; i < 4; i++) record->HandFlow[i] = 0;
  record->LineControl = 3;
  record->WaitMask = 0;
  record->BaudRate = 9600;

  KeInitializeSpinLock(&record->PortLock);
  KeInitializeTimer(&record->AckTimer);
  KeInitializeTimer(&record->WriteTotalTimer);
  KeInitializeTimer(&record->ReadIntervalTimer);
  KeInitializeTimer(&record->ReadTotalTimer);
  KeInitializeTimer(&record->ImmediateTotalTimer);

  KeInitializeDpc(&record->WriteDpc, routines->WriteDpc, record);
  KeInitializeDpc(&record->ReadDataDpc, routines->ReadDataDpc, record);
  KeInitializeDpc(&record->WriteTimeoutDpc, routines->WriteTimeoutDpc, record);
  KeInitializeDpc(&record->AckTimeoutDpc, routines->AckTimeoutDpc, record);
  KeInitializeDpc(&record->ReadTotalTimeoutDpc, routines->ReadTotalTimeoutDpc, record);
  KeInitializeDpc(&record->ReadIntervalTimeoutDpc, routines->ReadIntervalTimeoutDpc, record);
  KeInitializeDpc(&record->CompleteWaitDpc, routines->CompleteWaitDpc, record);
  KeInitializeDpc(&record->ImmediateSendDpc, routines->ImmediateSendDpc, record);
  KeInitializeDpc(&record->ImmediateTimeoutDpc, routines->ImmediateTimeoutDpc, record);
}
