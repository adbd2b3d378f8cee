// The read path. Received bytes wait in the port's receive ring, where inbound dispatch puts
// them; a read takes what the ring holds when it starts (StartRead), and, while it waits, each
// time data is announced (ReadDataDpc). It ends as its timeouts say: at once with what is there;
// when full; on its first byte; at its total timeout; at its interval timeout, which runs from
// the last byte it took; or cancelled. The receive acknowledgement owed to the remote goes out
// whenever a read has taken bytes, after the copy; an application that does not read sends
// none.
//
// A pending read waits with its cancel routine installed; its timers, the flags saying which
// it uses and its interval timing are set under the cancel lock in the same hold that installs
// the routine. The timer calls end only the waiting read, and only from the latest arming of a
// timer that read uses: a run queued before its read ended finds either no waiting read, a
// read that does not use that timer, or the timer armed again for the next read (not
// signalled), and does nothing. So a late timer never ends the next read.
#include "port/byte_ring.h"
#include "serial/serial_requests.h"

namespace {

// How a read is timed, from the timeouts in force when it starts.
struct ReadTiming {
  BOOLEAN ReturnAtOnce;    // takes what is there and finishes
  BOOLEAN EndOnFirstByte;  // finishes as soon as it holds a byte
  BOOLEAN HasTotal;        // has a total timeout, due at TotalDue (relative)
  LONGLONG TotalDue;
  LONGLONG IntervalTime;   // interval timeout in 100-ns units; 0: none
};

ULONG ReadLength(PIRP irp) { return StackOf(irp)->Parameters.Read.Length; }

ReadTiming TimingOf(const ULONG timeouts[5], ULONG length) {
  ULONG interval = timeouts[TIMEOUT_READ_INTERVAL];
  ULONG multiplier = timeouts[TIMEOUT_READ_MULTIPLIER];
  ULONG constant = timeouts[TIMEOUT_READ_CONSTANT];
  ReadTiming timing = {};
  if (interval != 0 && interval != MAXULONG) {
    timing.IntervalTime = (LONGLONG)((ULONGLONG)interval * DUE_UNITS_PER_MS);
  }
  if (interval == MAXULONG) {
    timing.ReturnAtOnce = (BOOLEAN)(multiplier == 0 && constant == 0);
    if (timing.ReturnAtOnce || constant == MAXULONG) return timing;
    timing.EndOnFirstByte = TRUE;
    if (multiplier == MAXULONG) multiplier = 0;
  } else if (multiplier == 0 && constant == 0) {
    return timing;
  }
  timing.HasTotal = TRUE;
  timing.TotalDue = RelativeDueOfMs(TotalTimeoutMs(length, multiplier, constant));
  return timing;
}

// Takes the bytes the current read can have now and sends the receive acknowledgement owed;
// returns the count taken. PortLock held.
LONG TakeAndAcknowledge(PortRecord* port) {
  LONG taken = CopyFromRxRing(port);
  if (ReadShared(port->RxAckPending)) {
    WriteShared(port->RxAckPending, 0);
    QueueLinkPacket(PKT_RXACK, NULL, 0, port->PortIndex);
  }
  return taken;
}

// Takes what the starting read can have now; TRUE when that finishes it. PortLock held.
BOOLEAN TakeReceivedBytes(PortRecord* port, PIRP irp, const ReadTiming* timing) {
  TakeAndAcknowledge(port);
  return (BOOLEAN)(timing->ReturnAtOnce || port->CharsToRead == 0 ||
                   (timing->EndOnFirstByte && irp->IoStatus.Information != 0));
}

// Arms the timers the pending read uses and records which. Both locks held.
VOID ArmReadTimers(PortRecord* port, const ReadTiming* timing) {
  port->ReadTotalTimerArmed = timing->HasTotal;
  if (timing->HasTotal) {
    SetPortTimer(&port->ReadTotalTimer, timing->TotalDue, &port->ReadTotalTimeoutDpc);
  }
  port->ReadIntervalTime = timing->IntervalTime;
  port->ReadIntervalStep = 0;
  if (timing->IntervalTime == 0) return;
  port->ReadIntervalStep =
      timing->IntervalTime < INTERVAL_CUT_OVER ? SHORT_INTERVAL_STEP : LONG_INTERVAL_STEP;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  port->LastReadTime = now.QuadPart;
  SetPortTimer(&port->ReadIntervalTimer, port->ReadIntervalStep, &port->ReadIntervalTimeoutDpc);
}

// Makes the read pending, or finds it cancelled (STATUS_CANCELLED, 0 bytes). PortLock held;
// takes the cancel lock.
NTSTATUS AwaitMoreBytes(PortRecord* port, PIRP irp, const ReadTiming* timing, FirstStatus* first) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(cancelIrql);
    irp->IoStatus.Information = 0;
    return STATUS_CANCELLED;
  }
  port->ReadIntervalMark = (LONG)irp->IoStatus.Information;
  port->ReadEndsOnFirstByte = timing->EndOnFirstByte;
  ArmReadTimers(port, timing);
  if (first->Note(STATUS_PENDING)) IoMarkIrpPending(irp);
  (VOID) IoSetCancelRoutine(irp, CancelCurrentRead);
  IoReleaseCancelSpinLock(cancelIrql);
  return STATUS_PENDING;
}

// Data was announced: the waiting read, if one waits, takes what the ring holds; TRUE when that
// finishes it, the read then claimed for its completion (its cancel routine taken, so that
// nothing else ends it before). Bytes taken restart its interval timing. Both locks held.
BOOLEAN TakeForWaitingRead(PortRecord* port) {
  PIRP irp = WaitingRequest(port, &ReadClass);
  if (irp == NULL) return FALSE;
  if (TakeAndAcknowledge(port) > 0) {
    port->ReadIntervalMark = (LONG)irp->IoStatus.Information;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    port->LastReadTime = now.QuadPart;
  }
  BOOLEAN full = (BOOLEAN)(port->CharsToRead == 0 ||
                           (port->ReadEndsOnFirstByte && irp->IoStatus.Information != 0));
  return (BOOLEAN)(full && IoSetCancelRoutine(irp, NULL) != NULL);
}

// Ends the waiting read, if one waits, leaving `mark` as how it ended. Cancel lock held, taken
// at cancelIrql; returns with it released.
VOID EndWaitingRead(PortRecord* port, KIRQL cancelIrql, LONG mark, NTSTATUS status) {
  if (WaitingRequest(port, &ReadClass) != NULL) port->ReadIntervalMark = mark;
  CompleteWaitingRequest(port, cancelIrql, status, &ReadClass);
}

}  // namespace

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  return StartOrQueueTransfer(device, irp, &ReadClass, StartRead);
}

VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PortRecord* port = PortOf(device);
  if (port->CurrentReadIrp != NULL) port->ReadIntervalMark = READ_MARK_CANCEL;
  CancelCurrentRequest(device, irp, &ReadClass);
}

LONG CopyFromRxRing(PortRecord* port) {
  ENTRY_REQUIRES_LOCK_HELD(port->PortLock);
  ByteRing* ring = &PortTable[port->PortIndex].RxRing;
  PIRP irp = port->CurrentReadIrp;
  LONG count = RingHeld(ring, RX_RING_SIZE);
  if (count > port->CharsToRead) count = port->CharsToRead;
  if (count <= 0 || ring->Buffer == NULL) return 0;
  PUCHAR behind = (PUCHAR)SystemBuffer(irp) + (ReadLength(irp) - (ULONG)port->CharsToRead);
  ring->ReadIndex = CopyOutOfRing(ring, RX_RING_SIZE, behind, count);
  port->CharsToRead -= count;
  irp->IoStatus.Information += count;
  return count;
}

// Runs in the requesting thread, or in the one that ended the previous read. Each pass holds
// PortLock from the copy until the read is finished or waiting, so that data stored after the
// copy is announced to a waiting read.
NTSTATUS StartRead(PortRecord* port) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  FirstStatus first;
  for (PIRP irp = port->CurrentReadIrp; irp != NULL;) {
    KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
    port->CharsToRead = (LONG)ReadLength(irp);
    KeCancelTimer(&port->ReadTotalTimer);
    KeCancelTimer(&port->ReadIntervalTimer);
    ReadTiming timing = TimingOf(port->Timeouts, ReadLength(irp));
    NTSTATUS status = TakeReceivedBytes(port, irp, &timing)
                          ? STATUS_SUCCESS
                          : AwaitMoreBytes(port, irp, &timing, &first);
    KfReleaseSpinLock(&port->PortLock, portIrql);
    if (status == STATUS_PENDING) return first.Status;
    irp->IoStatus.Status = status;
    first.Note(status);
    GetNextRequest(port, &ReadClass, &irp, TRUE);
  }
  return first.Status;
}

// Data was announced: events for the wait mask, then the waiting read takes the new bytes and
// ends if its mode says so. The copy runs under the cancel lock too, so that no cancellation
// completes the read while its buffer is written. DISPATCH_LEVEL; takes PortLock, then the
// cancel lock.
VOID NTAPI ReadDataDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto port = (PortRecord*)context;
  RaiseEvents(port);
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  BOOLEAN finished = TakeForWaitingRead(port);
  IoReleaseCancelSpinLock(cancelIrql);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  if (!finished) return;
  IoAcquireCancelSpinLock(&cancelIrql);
  port->ReadIntervalMark = READ_MARK_COMPLETE;
  CompleteCurrent(port, cancelIrql, STATUS_SUCCESS, &ReadClass);
}

// DISPATCH_LEVEL; takes the cancel lock.
VOID NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto port = (PortRecord*)context;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (WaitingRequest(port, &ReadClass) == NULL || !port->ReadTotalTimerArmed ||
      !KeReadStateTimer(&port->ReadTotalTimer)) {
    IoReleaseCancelSpinLock(cancelIrql);
    return;
  }
  port->ReadTotalTimerArmed = 0;
  EndWaitingRead(port, cancelIrql, READ_MARK_TOTAL, STATUS_TIMEOUT);
}

// An interval tick: the read times out once the interval has passed since the last byte it
// took; a read that holds none is ended only by data, its total timeout or cancellation.
// DISPATCH_LEVEL; takes the cancel lock.
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto port = (PortRecord*)context;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (WaitingRequest(port, &ReadClass) == NULL || port->ReadIntervalStep == 0 ||
      !KeReadStateTimer(&port->ReadIntervalTimer)) {
    IoReleaseCancelSpinLock(cancelIrql);
    return;
  }
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  if (port->ReadIntervalMark > 0 && now.QuadPart - port->LastReadTime >= port->ReadIntervalTime) {
    CompleteWaitingRequest(port, cancelIrql, STATUS_TIMEOUT, &ReadClass);
    return;
  }
  SetPortTimer(&port->ReadIntervalTimer, port->ReadIntervalStep, &port->ReadIntervalTimeoutDpc);
  IoReleaseCancelSpinLock(cancelIrql);
}
