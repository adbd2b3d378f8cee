// The immediate character: one character sent ahead of the write data that has not yet
// entered the transmit ring. One request at a time, never queued: it is made current at once,
// given a total timeout from the write timeouts (multiplier plus constant), and its character
// is handed to ImmediateSendDpc, which places it in the ring and marks the port for the
// sender. The request ends with success once the character is in the ring, with
// STATUS_TIMEOUT when its timer fires first, or cancelled.
//
// How the character fits the chunk in flight (link/chunk_in_flight.cpp states that discipline):
// it is placed under PortLock behind whatever the ring holds. Placed before the sender took a
// write's chunk, it goes out in the chunk's packet, under the chunk's sequence and inside its
// retransmission copy. Placed while a sent chunk awaits its acknowledgement, it waits in the
// ring, and the write engine sends it ahead of its next chunk, or on its own, once the chunk is
// acknowledged. Placed with no chunk in flight, it is handed to the write engine, which sends
// it with the current write's next chunk or as a chunk of one byte: acknowledged, polled for
// and resent under its own sequence like any other.
//
// A character that finds the ring full (or the current write still placing chunks) waits:
// the write engine offers the ring again each time it leaves room, until the request ends by
// its timer or by cancellation.
#include "link/chunk_in_flight.h"
#include "link/tx_ring.h"
#include "serial/serial_requests.h"

namespace {

// The relative due time of the total timer, 0 when the write timeouts set none: one
// character's worth of multiplier plus the constant. PortLock held.
LONGLONG ImmediateDue(const PortRecord* port) {
  return RelativeDueOfMs(TotalTimeoutMs(1, port->Timeouts[TIMEOUT_WRITE_MULTIPLIER],
                                        port->Timeouts[TIMEOUT_WRITE_CONSTANT]));
}

// Takes the character from the current request. PortLock and the cancel lock held.
VOID GiveImmediate(PortRecord* port) {
  port->ImmediateChar = *(PUCHAR)SystemBuffer(port->CurrentImmediateIrp);
  WriteShared(port->ImmediatePending, 1);
  port->ImmediateUnsent = 1;
}

// Ends a request found cancelled before it was handed over. Neither lock held.
VOID RefuseCancelled(PortRecord* port, PIRP irp) {
  InterlockedExchangeAdd(&port->CharsQueued, -1);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Makes the accepted request pending, arms its timer, installs its cancel routine and hands
// the character over. The request is current, without a cancel routine, so nothing else ends
// it meanwhile. Caller's thread, PASSIVE_LEVEL; takes PortLock, then the cancel lock.
VOID StartImmediate(PortRecord* port) {
  PIRP irp = port->CurrentImmediateIrp;
  irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(irp);
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  LONGLONG due = ImmediateDue(port);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (irp->Cancel) {
    port->CurrentImmediateIrp = NULL;
    IoReleaseCancelSpinLock(cancelIrql);
    KfReleaseSpinLock(&port->PortLock, portIrql);
    RefuseCancelled(port, irp);
    return;
  }
  (VOID) IoSetCancelRoutine(irp, CancelImmediate);
  port->ImmediateTimerArmed = (UCHAR)(due != 0);
  if (due != 0) SetPortTimer(&port->ImmediateTotalTimer, due, &port->ImmediateTimeoutDpc);
  GiveImmediate(port);
  KeInsertQueueDpc(&port->ImmediateSendDpc, NULL, NULL);
  IoReleaseCancelSpinLock(cancelIrql);
  KfReleaseSpinLock(&port->PortLock, portIrql);
}

// Claims the current request for its success: takes its cancel routine, so that neither its
// timer nor a cancellation ends it once its character is in the ring (the application would be
// told the character was not sent, and it goes). FALSE when one of them is ending it. PortLock
// held; takes the cancel lock.
BOOLEAN ClaimImmediate(PortRecord* port) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP irp = WaitingRequest(port, &ImmediateClass);
  BOOLEAN claimed = (BOOLEAN)(irp != NULL && IoSetCancelRoutine(irp, NULL) != NULL);
  IoReleaseCancelSpinLock(cancelIrql);
  return claimed;
}

// Places the waiting character when the ring has room and no write is still placing chunks,
// once its request is claimed; the character that takes the last free slot marks the ring
// full. With no chunk in flight the write engine makes it one. TRUE when placed. PortLock
// held.
BOOLEAN PlaceImmediate(PortRecord* port) {
  LONG index = port->PortIndex;
  if (!port->ImmediateUnsent || port->TxRingFull || TxRingRoom(index) == 0) return FALSE;
  if (!ClaimImmediate(port)) return FALSE;
  DbgPrint("do CurrentImmediateIrp\n");
  (VOID) PlaceTxBytes(index, &port->ImmediateChar, 1);
  port->ImmediateUnsent = 0;
  if (TxRingRoom(index) == 0) port->TxRingFull = 1;
  if (!ChunkInFlight(port)) KeInsertQueueDpc(&port->WriteDpc, NULL, NULL);
  return TRUE;
}

}  // namespace

NTSTATUS AcceptImmediate(PortRecord* port, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  NTSTATUS refusal = port->CurrentImmediateIrp != NULL ? STATUS_INVALID_PARAMETER
                     : irp->Cancel                    ? STATUS_CANCELLED
                                                      : STATUS_SUCCESS;
  if (refusal == STATUS_SUCCESS) {
    InterlockedExchangeAdd(&port->CharsQueued, 1);
    port->CurrentImmediateIrp = irp;
  }
  IoReleaseCancelSpinLock(cancelIrql);
  if (refusal != STATUS_SUCCESS) return CompleteAtOnce(irp, refusal);
  StartImmediate(port);
  return STATUS_PENDING;
}

VOID OfferRingToImmediate(PortRecord* port) {
  ENTRY_REQUIRES_LOCK_HELD(port->PortLock);
  if (port->ImmediateUnsent) KeInsertQueueDpc(&port->ImmediateSendDpc, NULL, NULL);
}

// Routine of ImmediateSendDpc: places the character and ends its request with success, unless
// the request is ending otherwise. A run for a request that has ended finds ImmediateUnsent
// clear under PortLock and does nothing. DISPATCH_LEVEL; takes PortLock, then the cancel lock.
VOID NTAPI ImmediateSendDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto port = (PortRecord*)context;
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  BOOLEAN placed = PlaceImmediate(port);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  if (!placed) return;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  CompleteCurrent(port, cancelIrql, STATUS_SUCCESS, &ImmediateClass);
}

// Routine of ImmediateTimeoutDpc. A run left over from an earlier request's timer finds the
// current request's timer unset or set again (not signalled), and does nothing.
// DISPATCH_LEVEL; takes the cancel lock.
VOID NTAPI ImmediateTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto port = (PortRecord*)context;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (!port->ImmediateTimerArmed || !KeReadStateTimer(&port->ImmediateTotalTimer)) {
    IoReleaseCancelSpinLock(cancelIrql);
    return;
  }
  (VOID) CompleteWaitingRequest(port, cancelIrql, STATUS_TIMEOUT, &ImmediateClass);
}

VOID NTAPI CancelImmediate(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  CancelCurrentRequest(device, irp, &ImmediateClass);
}

// Called by CompleteCurrent once the request's cancel routine and timer are stopped and its
// status set; never yields a successor. Neither lock held; takes PortLock, then the cancel
// lock.
VOID FinishImmediate(PortRecord* port, const RequestClass*, PIRP* next, BOOLEAN completeOld) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  *next = NULL;
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  port->ImmediateUnsent = 0;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP irp = port->CurrentImmediateIrp;
  port->CurrentImmediateIrp = NULL;
  port->ImmediateTimerArmed = 0;
  WriteShared(port->ImmediatePending, 0);
  IoReleaseCancelSpinLock(cancelIrql);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  InterlockedExchangeAdd(&port->CharsQueued, -1);
  CheckTxEmpty(port);
  if (completeOld) IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}
