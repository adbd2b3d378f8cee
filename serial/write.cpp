// The write path. A write goes to the remote in chunks of at most 128 bytes, strictly one at a
// time: the write engine (WriteDpc) places a chunk in the port's transmit ring and marks the
// port for the sender, and places the next only once the remote has acknowledged the chunk;
// the write completes when its last chunk is acknowledged. An acknowledgement timer of 8 s
// guards the chunk in flight: on expiry the port polls the remote, whose answer says whether
// the chunk arrived or must be sent again. Writes have no timeout; flushes ride the write
// queue and complete once every write before them has ended.
//
// The chunk the write engine places is the port's chunk in flight (link/chunk_in_flight.cpp
// states its discipline): the engine places the next chunk only once the remote acknowledged
// the one before. Cancelling the current write leaves its chunk in flight: its bytes are on
// their way, and the remote must get them before any later write's, so the next write's first
// chunk waits for that acknowledgement; the cancelled write's unplaced bytes never go. Bytes
// placed behind a sent chunk (an immediate character) go out once it is acknowledged, at the
// head of the next chunk, or as a chunk of their own when there is none (ReleaseRing).
#include "link/chunk_in_flight.h"
#include "link/tx_ring.h"
#include "serial/serial_requests.h"

namespace {

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
  return RelativeDueOfMs(TotalTimeoutMs(length, multiplier, constant));
}

// Places the write's next chunk: as many of its unplaced bytes as the ring has room for.
// The request's information count is the number of bytes placed so far. PortLock held.
VOID PlaceChunk(PortRecord* port, PIRP irp) {
  ULONG placed = (ULONG)irp->IoStatus.Information;
  LONG count = PlaceTxBytes(port->PortIndex, (PUCHAR)SystemBuffer(irp) + placed,
                            (LONG)(WriteLength(irp) - placed));
  irp->IoStatus.Information = placed + count;
  port->TxRingFull = (UCHAR)(placed + count < WriteLength(irp));
  MarkChunkPlaced(port);
}

// The ring no longer waits for a chunk in flight, or has room again: bytes held behind the
// chunk go out as a chunk of their own, and an immediate character that found the ring closed
// tries it again. PortLock held.
VOID ReleaseRing(PortRecord* port) {
  if (!ChunkInFlight(port) && PortTable[port->PortIndex].TxHeld > 0) MarkChunkPlaced(port);
  if (!port->TxRingFull) OfferRingToImmediate(port);
}

// Ends the write ClaimFinishedWrite claimed. Neither lock held.
VOID CompleteWrite(PortRecord* port) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  CompleteCurrent(port, cancelIrql, STATUS_SUCCESS, &WriteClass);
}

// The current write when it waits for the write engine, else null. With no chunk in flight, a
// write whose bytes are all placed has had its last chunk acknowledged: it is claimed for its
// completion (*finished), its cancel routine taken in the same hold of the cancel lock, so that
// no cancellation ends it, and no successor takes its slot, before CompleteWrite runs (the
// completion comes after PortLock is let go, and a cancellation and the next write may come
// in between). PortLock held.
PIRP WaitingWrite(PortRecord* port, BOOLEAN* finished) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP irp = WaitingRequest(port, &WriteClass);
  *finished = (BOOLEAN)(irp != NULL && !ChunkInFlight(port) &&
                        irp->IoStatus.Information == WriteLength(irp) &&
                        IoSetCancelRoutine(irp, NULL) != NULL);
  IoReleaseCancelSpinLock(cancelIrql);
  return irp;
}

}  // namespace

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  return StartOrQueueTransfer(device, irp, &WriteClass, StartWrite);
}

// Runs in the requesting thread, or in the one that ended the previous write. Checks the
// cancel flag and installs the cancel routine in one hold of the cancel lock (inside
// PortLock), so that a cancellation either finds the routine or is seen here.
NTSTATUS StartWrite(PortRecord* port) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
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
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  port->CurrentWriteIrp->IoStatus.Status = STATUS_SUCCESS;
  PIRP next;
  GetNextWrite(port, &WriteClass, &next, TRUE);
  if (next != NULL) StartWrite(port);
  return STATUS_SUCCESS;
}

VOID GetNextWrite(PortRecord* port, const RequestClass* requestClass, PIRP* next,
                  BOOLEAN completeOld) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
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
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PortRecord* port = PortOf(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  port->TxRingFull = 0;
  ReleaseRing(port);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  IoAcquireCancelSpinLock(&irp->CancelIrql);
  CancelCurrentRequest(device, irp, &WriteClass);
}

// The write engine: the write's next chunk once the chunk before it is acknowledged, or the
// write's completion once its last chunk is. DISPATCH_LEVEL; takes PortLock.
VOID NTAPI WriteDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto port = (PortRecord*)context;
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  BOOLEAN complete;
  PIRP irp = WaitingWrite(port, &complete);
  if (irp != NULL && !ChunkInFlight(port) && irp->IoStatus.Information < WriteLength(irp)) {
    PlaceChunk(port, irp);
  }
  // A write with nothing left to place no longer holds the ring, which an immediate
  // character may have filled behind its last chunk.
  if (complete) port->TxRingFull = 0;
  ReleaseRing(port);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  if (complete) CompleteWrite(port);
}

// Writes have no timeout: the expiry of the write total timer changes nothing.
VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
}
