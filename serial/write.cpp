// The write path. A write goes to the remote in chunks of at most 128 bytes, strictly one at a
// time: the write engine (WriteDpc) places a chunk in the port's transmit ring and marks the
// port for the sender, and places the next only once the remote has acknowledged the chunk;
// the write completes when its last chunk is acknowledged. An acknowledgement timer of 8 s
// guards the chunk in flight: on expiry the port polls the remote, whose answer says whether
// the chunk arrived or must be sent again. Writes have no timeout; flushes ride the write
// queue and complete once every write before them has ended.
//
// The chunk in flight has one discipline. Its state (WriteInFlight, ChunkSequence,
// RetransmitPending, LastSentCount, RetransmitCopy, the bytes in the transmit ring and the
// advance of OutSeq) changes only under the port's PortLock, and AckTimer is set and cancelled
// only under it:
// - WriteDpc places a chunk: WriteInFlight 1, ChunkSequence 0 (not sent yet), timer armed;
// - the sender takes it under the lock and numbers it (OutSeq advanced, ChunkSequence set),
//   or takes its retransmission under the same sequence and clears RetransmitPending in the
//   same step, so that a retransmission asked for after that step waits for the next visit;
// - inbound dispatch counts an acknowledgement only for a chunk that was sent: with no poll
//   outstanding, only one naming ChunkSequence, once (WriteInFlight 0, timer cancelled); any
//   other is ignored and the timer runs on. With a poll outstanding (RetransmitPending) the
//   answer naming ChunkSequence means delivered, any other has the chunk sent again;
// - AckTimeoutDpc polls only for a chunk that was sent, and only when its run comes from the
//   timer's latest arming and the chunk still waits: a run queued before an acknowledgement
//   or a re-arm finds the timer set again (not signalled) or WriteInFlight 0, and does nothing;
// - cancelling the current write leaves its chunk in flight: the chunk's bytes are on their
//   way, and the remote must get them before any later write's, so the next write's first
//   chunk is placed only once this one is acknowledged, and a poll's answer still has it sent
//   again when no write is current. The write's unplaced bytes never go;
// - bytes placed behind a sent chunk (an immediate character) wait in the ring while the chunk
//   awaits its acknowledgement: the sender takes nothing fresh then, only the chunk's
//   retransmission. Once the chunk is acknowledged, the write engine sends them at the head
//   of its next chunk, or on their own when it has none (ReleaseRing).
#include "link/tx_ring.h"
#include "serial/serial_requests.h"

namespace {

constexpr LONGLONG ACK_TIMEOUT = -8000 * DUE_UNITS_PER_MS;
// A write total constant below 10 s gives a 10 s timer, whatever the multiplier.
constexpr ULONG SHORT_WRITE_CONSTANT = 10000;
constexpr LONGLONG SHORT_WRITE_TIMEOUT = -10000 * DUE_UNITS_PER_MS;

ULONG WriteLength(PIRP irp) { return StackOf(irp)->Parameters.Write.Length; }

// The relative due time of the write total timer, 0 when the timeouts set none.
LONGLONG WriteTotalDue(const PortRecord* port, ULONG length) {
  ULONG multiplier = port->Timeouts[TIMEOUT_WRITE_MULTIPLIER];
  ULONG constant = port->Timeouts[TIMEOUT_WRITE_CONSTANT];
  if (multiplier == 0 && constant == 0) return 0;
  if (constant < SHORT_WRITE_CONSTANT) return SHORT_WRITE_TIMEOUT;
  ULONGLONG total = (ULONGLONG)length * multiplier + constant;
  return (LONGLONG)(0 - total * (ULONGLONG)DUE_UNITS_PER_MS);
}

VOID MarkDataAndArm(PortRecord* port) {
  QueueLinkPacket(1, PKT_DATA, NULL, 0, port->PortIndex);
  SetPortTimer(&port->AckTimer, ACK_TIMEOUT, &port->AckTimeoutDpc);
}

// Places the write's next chunk: as many of its unplaced bytes as the ring has room for.
// The request's information count is the number of bytes placed so far. PortLock held.
VOID PlaceChunk(PortRecord* port, PIRP irp) {
  ULONG placed = (ULONG)irp->IoStatus.Information;
  LONG count = PlaceTxBytes(port->PortIndex, (PUCHAR)SystemBuffer(irp) + placed,
                            (LONG)(WriteLength(irp) - placed));
  irp->IoStatus.Information = placed + count;
  port->TxRingFull = (UCHAR)(placed + count < WriteLength(irp));
  port->ChunkSequence = 0;
  WriteShared(port->WriteInFlight, 1);
  MarkDataAndArm(port);
}

// The ring no longer waits for a chunk in flight, or has room again: bytes held behind the
// chunk go out, and an immediate character that found the ring closed tries it again.
// PortLock held.
VOID ReleaseRing(PortRecord* port) {
  if (!ReadShared(port->WriteInFlight) && PortTable[port->PortIndex].TxHeld > 0) {
    QueueLinkPacket(1, PKT_DATA, NULL, 0, port->PortIndex);
  }
  if (!port->TxRingFull) OfferRingToImmediate(port);
}

// Ends the write whose last chunk was acknowledged. Neither lock held.
VOID CompleteWrite(PortRecord* port) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  CompleteWaitingRequest(port, cancelIrql, STATUS_SUCCESS, &WriteClass);
}

// The current write when it waits for the write engine, else null. PortLock held.
PIRP WaitingWrite(PortRecord* port) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP irp = WaitingRequest(port, &WriteClass);
  IoReleaseCancelSpinLock(cancelIrql);
  return irp;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
  return StartOrQueueTransfer(device, irp, &WriteClass, StartWrite);
}

// Runs in the requesting thread, or in the one that ended the previous write. Checks the
// cancel flag and installs the cancel routine in one hold of the cancel lock (inside
// PortLock), so that a cancellation either finds the routine or is seen here.
NTSTATUS StartWrite(PortRecord* port) {
  FirstStatus first;
  for (PIRP irp = port->CurrentWriteIrp; irp != NULL;) {
    KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
    LONGLONG due = WriteTotalDue(port, WriteLength(irp));
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (!irp->Cancel) {
      if (first.Note(STATUS_PENDING)) IoMarkIrpPending(irp);
      if (due != 0) SetPortTimer(&port->WriteTotalTimer, due, &port->WriteTimeoutDpc);
      (VOID) IoSetCancelRoutine(irp, CancelCurrentWrite);
      IoReleaseCancelSpinLock(cancelIrql);
      KeInsertQueueDpc(&port->WriteDpc, NULL, NULL);
      KfReleaseSpinLock(&port->PortLock, portIrql);
      return first.Status;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    KfReleaseSpinLock(&port->PortLock, portIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    first.Note(STATUS_CANCELLED);
    GetNextWrite(port, &WriteClass, &irp, TRUE);
  }
  return first.Status;
}

NTSTATUS StartFlush(PortRecord* port) {
  port->CurrentWriteIrp->IoStatus.Status = STATUS_SUCCESS;
  PIRP next;
  GetNextWrite(port, &WriteClass, &next, TRUE);
  if (next != NULL) StartWrite(port);
  return STATUS_SUCCESS;
}

VOID GetNextWrite(PortRecord* port, const RequestClass* requestClass, PIRP* next,
                  BOOLEAN completeOld) {
  for (;;) {
    // The ending write's whole length leaves CharsQueued, however it ended.
    CountQueuedChars(port, *CurrentSlot(port, requestClass), -1);
    GetNextRequest(port, requestClass, next, completeOld);
    if (*next == NULL) {
      CheckTxEmpty(port);
      return;
    }
    if (StackOf(*next)->MajorFunction != IRP_MJ_FLUSH_BUFFERS) return;
    (*next)->IoStatus.Status = STATUS_SUCCESS;
  }
}

// Entered with the cancel lock held. The write has no chunk left to place, and no longer holds
// the ring; the chunk in flight stays with the write engine (see above). The ring's state is
// PortLock's, which comes first: the cancel lock is let go meanwhile. Nothing else ends the
// write: its cancel routine is taken.
VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT device, PIRP irp) {
  PortRecord* port = PortOf(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  port->TxRingFull = 0;
  ReleaseRing(port);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  IoAcquireCancelSpinLock(&irp->CancelIrql);
  CancelCurrentRequest(device, irp, &WriteClass);
}

// The write engine: a retransmission the poll's answer asked for (of the chunk in flight,
// whether or not its write is still current), the next chunk, or the completion once the
// last chunk was acknowledged. DISPATCH_LEVEL; takes PortLock.
VOID NTAPI WriteDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto port = (PortRecord*)context;
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  PIRP irp = WaitingWrite(port);
  BOOLEAN complete = FALSE;
  if (ReadShared(port->WriteInFlight)) {
    // The chunk waits: resend it if asked, and keep it guarded in any case. An answer to a
    // poll cancels the timer, and the sender may have taken the retransmission (clearing
    // RetransmitPending) before this run: without the timer nothing would ask again.
    if (port->RetransmitPending) MarkDataAndArm(port);
    else SetPortTimer(&port->AckTimer, ACK_TIMEOUT, &port->AckTimeoutDpc);
  } else if (irp != NULL) {
    complete = (BOOLEAN)(irp->IoStatus.Information == WriteLength(irp));
    if (!complete) PlaceChunk(port, irp);
  }
  // A write with nothing left to place no longer holds the ring, which an immediate
  // character may have filled behind its last chunk.
  if (complete) port->TxRingFull = 0;
  ReleaseRing(port);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  if (complete) CompleteWrite(port);
}

// The chunk in flight went 8 s without an acknowledgement: poll the remote, and keep guarding.
// DISPATCH_LEVEL; takes PortLock.
VOID NTAPI AckTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto port = (PortRecord*)context;
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  if (KeReadStateTimer(&port->AckTimer) && ReadShared(port->WriteInFlight)) {
    if (port->ChunkSequence != 0) {
      WriteShared(port->RetransmitPending, 1);
      QueueLinkPacket(0, PKT_POLL, NULL, 0, port->PortIndex);
    }
    SetPortTimer(&port->AckTimer, ACK_TIMEOUT, &port->AckTimeoutDpc);
  }
  KfReleaseSpinLock(&port->PortLock, portIrql);
}

// Writes have no timeout: the expiry of the write total timer changes nothing.
VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {}
