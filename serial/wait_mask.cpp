// Wait on mask: the mask class's start routine, the port's single pending wait, and the events
// handed to it. The pending wait is in one of three states, all changed under the cancel lock:
//   waiting    CurrentWaitIrp set, IrpMaskLocation = its output buffer;
//   delivered  CurrentWaitIrp set, IrpMaskLocation null: its event mask is written and
//              CompleteWaitDpc is queued to complete it;
//   none       CurrentWaitIrp null.
// A hand-over (RaiseEvents, CheckTxEmpty, ApplyWaitMask) moves waiting to delivered;
// CompleteWaitDpc ends only a delivered wait and CancelWait ends either: whichever takes the wait
// out of its slot first completes it, and a hand-over never touches a wait that is no longer
// waiting.
#include "serial/serial_requests.h"

namespace {

// Writes the event mask into the waiting wait's buffer and queues its completion. Cancel lock
// held, a wait waiting.
VOID HandOver(PortRecord* port, ULONG events) {
  *port->IrpMaskLocation = events;
  port->IrpMaskLocation = NULL;
  port->CurrentWaitIrp->IoStatus.Information = sizeof(ULONG);
  KeInsertQueueDpc(&port->CompleteWaitDpc, NULL, NULL);
}

// Hands the events seen so far to a waiting wait. Cancel lock held.
VOID DeliverHistory(PortRecord* port) {
  if (port->IrpMaskLocation == NULL || port->HistoryMask == 0) return;
  HandOver(port, port->HistoryMask);
  port->HistoryMask = 0;
}

// The current mask request is a wait-on-mask: refuses it (no wait mask, or a wait already
// pending), finds it cancelled, or makes it the pending wait and, in the same hold of the
// cancel lock, moves the next mask request into the mask slot (*next). A queued request was
// marked pending when it was queued; the first one of StartMask's run is marked here.
NTSTATUS AcceptWait(PortRecord* port, PIRP irp, BOOLEAN first, PIRP* next) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  NTSTATUS status = STATUS_PENDING;
  if (port->WaitMask == 0 || port->CurrentWaitIrp != NULL) {
    status = STATUS_INVALID_PARAMETER;
  } else if (irp->Cancel) {
    status = STATUS_CANCELLED;
  } else {
    if (first) IoMarkIrpPending(irp);
    port->CurrentWaitIrp = irp;
    (VOID) IoSetCancelRoutine(irp, WaitClass.CancelCurrent);
    ArmWait(port);
    *next = TakeNextRequest(port, &MaskClass);
  }
  IoReleaseCancelSpinLock(cancelIrql);
  return status;
}

}  // namespace

NTSTATUS StartMask(PortRecord* port) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  NTSTATUS first = STATUS_PENDING;
  BOOLEAN haveFirst = FALSE;
  for (PIRP irp = port->CurrentMaskIrp; irp != NULL;) {
    NTSTATUS status = STATUS_SUCCESS;
    PIRP next = NULL;
    if (ControlCode(irp) == IOCTL_SERIAL_SET_WAIT_MASK) {
      ApplyWaitMask(port);
    } else {
      status = AcceptWait(port, irp, (BOOLEAN)!haveFirst, &next);
    }
    if (!haveFirst) first = status;
    haveFirst = TRUE;
    if (status != STATUS_PENDING) {
      irp->IoStatus.Status = status;
      GetNextRequest(port, &MaskClass, &next, TRUE);
    }
    irp = next;
  }
  return first;
}

VOID ApplyWaitMask(PortRecord* port) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  ULONG mask = *(PULONG)SystemBuffer(port->CurrentMaskIrp);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (port->IrpMaskLocation != NULL) HandOver(port, 0);
  port->HistoryMask &= mask;
  WriteShared(port->WaitMask, mask);
  IoReleaseCancelSpinLock(cancelIrql);
}

VOID ArmWait(PortRecord* port) {
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PIRP wait = port->CurrentWaitIrp;
  if (port->HistoryMask == 0) {
    port->IrpMaskLocation = (PULONG)SystemBuffer(wait);
    return;
  }
  *(PULONG)SystemBuffer(wait) = port->HistoryMask;
  port->HistoryMask = 0;
  wait->IoStatus.Information = sizeof(ULONG);
  wait->IoStatus.Status = STATUS_SUCCESS;
  KeInsertQueueDpc(&port->CompleteWaitDpc, NULL, NULL);
}

VOID RaiseEvents(PortRecord* port) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  ENTRY_REQUIRES_LOCK_NOT_HELD(port->PortLock);
  if (ReadShared(port->WaitMask) == 0) return;  // an event counts only when asked for
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  port->HistoryMask |= port->WaitMask & (SERIAL_EV_RXCHAR | SERIAL_EV_BREAK);
  DeliverHistory(port);
  IoReleaseCancelSpinLock(cancelIrql);
}

VOID CheckTxEmpty(PortRecord* port) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  ENTRY_REQUIRES_LOCK_NOT_HELD(port->PortLock);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if ((port->WaitMask & SERIAL_EV_TXEMPTY) && !ReadShared(port->ImmediatePending) &&
      port->CurrentWriteIrp == NULL && IsListEmpty(&port->WriteQueue)) {
    port->HistoryMask |= SERIAL_EV_TXEMPTY;
    DeliverHistory(port);
  }
  IoReleaseCancelSpinLock(cancelIrql);
}

VOID NTAPI CancelWait(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PortRecord* port = PortOf(device);
  if (port->CurrentWaitIrp != NULL) port->IrpMaskLocation = NULL;
  CancelCurrentRequest(device, irp, &WaitClass);
}

VOID NTAPI CompleteWaitDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto port = (PortRecord*)context;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  // A wait still waiting was not handed anything: this run was queued for an earlier wait.
  if (port->CurrentWaitIrp != NULL && port->IrpMaskLocation == NULL) {
    CompleteCurrent(port, cancelIrql, STATUS_SUCCESS, &WaitClass);
  } else {
    IoReleaseCancelSpinLock(cancelIrql);
  }
}
