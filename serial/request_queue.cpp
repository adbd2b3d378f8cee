// The queueing core every request class shares. A request is, in turn: queued (pending, in
// its class's queue, CancelQueuedRequest installed), current (in the class's slot), finished
// (status set) and completed (handed back, never touched again). It leaves a queue or a slot
// only under the cancel lock, and it is completed only after it has left them, by the one
// routine that took it out: so each request is completed exactly once.
#include "serial/serial_requests.h"

namespace {

PLIST_ENTRY QueueOf(PortRecord* port, const RequestClass* requestClass) {
  return requestClass->Queue != nullptr ? &(port->*(requestClass->Queue)) : NULL;
}

// Cancels one request on behalf of KillAllRequests: sets its cancel flag and calls its cancel
// routine, which releases the cancel lock. Returns FALSE (lock still held) when it has none.
// Cancel lock held, taken at cancelIrql.
BOOLEAN CallCancelRoutine(PortRecord* port, PIRP irp, KIRQL cancelIrql) {
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
  if (routine == NULL) return FALSE;
  irp->CancelIrql = cancelIrql;
  routine(port->DeviceObject, irp);
  return TRUE;
}

}  // namespace

// A write's length counts in CharsQueued from its acceptance until it ends.
VOID CountQueuedChars(PortRecord* port, PIRP irp, LONG sign) {
  PIO_STACK_LOCATION stack = StackOf(irp);
  if (stack->MajorFunction != IRP_MJ_WRITE) return;
  InterlockedExchangeAdd(&port->CharsQueued, sign * (LONG)stack->Parameters.Write.Length);
}

NTSTATUS StartOrQueueTransfer(PDEVICE_OBJECT device, PIRP irp, const RequestClass* requestClass,
                              SERIAL_START_ROUTINE* start) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  irp->IoStatus.Information = 0;
  // Read.Length and Write.Length share their place in the parameters.
  ULONG length = StackOf(irp)->Parameters.Read.Length;
  if (length == 0) return CompleteAtOnce(irp, STATUS_SUCCESS);
  if (length > TRANSFER_LENGTH_MAX) return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
  return StartOrQueue(PortOf(device), irp, requestClass, start);
}

NTSTATUS StartOrQueue(PortRecord* port, PIRP irp, const RequestClass* requestClass,
                      SERIAL_START_ROUTINE* start) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  ENTRY_REQUIRES_LOCK_NOT_HELD(port->PortLock);
  PLIST_ENTRY queue = QueueOf(port, requestClass);
  if (queue == NULL) return CompleteAtOnce(irp, STATUS_INVALID_DEVICE_REQUEST);
  PIRP* slot = CurrentSlot(port, requestClass);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (IsListEmpty(queue) && *slot == NULL) {
    *slot = irp;
    CountQueuedChars(port, irp, +1);
    IoReleaseCancelSpinLock(cancelIrql);
    return start(port);
  }
  if (irp->Cancel) {
    // Refused: nothing of it was counted.
    IoReleaseCancelSpinLock(cancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(irp);
  InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
  CountQueuedChars(port, irp, +1);
  (VOID) IoSetCancelRoutine(irp, CancelQueuedRequest);
  IoReleaseCancelSpinLock(cancelIrql);
  return STATUS_PENDING;
}

PIRP TakeNextRequest(PortRecord* port, const RequestClass* requestClass) {
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PLIST_ENTRY queue = QueueOf(port, requestClass);
  PIRP* slot = CurrentSlot(port, requestClass);
  *slot = NULL;
  if (queue != NULL && !IsListEmpty(queue)) {
    *slot = CONTAINING_RECORD(RemoveHeadList(queue), IRP, Tail.Overlay.ListEntry);
    (VOID) IoSetCancelRoutine(*slot, NULL);
  }
  return *slot;
}

VOID GetNextRequest(PortRecord* port, const RequestClass* requestClass, PIRP* next,
                    BOOLEAN completeOld) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP old = *CurrentSlot(port, requestClass);
  *next = TakeNextRequest(port, requestClass);
  IoReleaseCancelSpinLock(cancelIrql);
  if (completeOld && old != NULL) IoCompleteRequest(old, IO_SERIAL_INCREMENT);
}

VOID StopRequestTimers(PortRecord* port, const RequestClass* requestClass) {
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  (VOID) IoSetCancelRoutine(*CurrentSlot(port, requestClass), NULL);
  KTIMER PortRecord::*timers[] = {requestClass->IntervalTimer, requestClass->TotalTimer};
  for (KTIMER PortRecord::*timer : timers) {
    if (timer != nullptr) KeCancelTimer(&(port->*timer));
  }
}

VOID CompleteCurrent(PortRecord* port, KIRQL cancelIrql, NTSTATUS status,
                     const RequestClass* requestClass) {
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PIRP* slot = CurrentSlot(port, requestClass);
  PIRP irp = *slot;
  StopRequestTimers(port, requestClass);
  irp->IoStatus.Status = status;
  if (status == STATUS_CANCELLED) irp->IoStatus.Information = 0;
  if (requestClass->GetNext != NULL) {
    // The finished request stays in the slot until the get-next routine takes it out under
    // the cancel lock; requests arriving meanwhile queue behind it.
    IoReleaseCancelSpinLock(cancelIrql);
    PIRP next;
    requestClass->GetNext(port, requestClass, &next, TRUE);
    // Its result is dropped: the new current request was marked pending when it was queued.
    if (next != NULL) requestClass->Start(port);
    return;
  }
  // No successor: the slot is emptied under the cancel lock, so that of two routines racing
  // to end this request (a hand-over's completion and a cancellation) only one finds it.
  *slot = NULL;
  IoReleaseCancelSpinLock(cancelIrql);
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

PIRP WaitingRequest(PortRecord* port, const RequestClass* requestClass) {
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PIRP irp = *CurrentSlot(port, requestClass);
  return irp != NULL && ReadShared(irp->CancelRoutine) != NULL ? irp : NULL;
}

BOOLEAN CompleteWaitingRequest(PortRecord* port, KIRQL cancelIrql, NTSTATUS status,
                               const RequestClass* requestClass) {
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PIRP irp = *CurrentSlot(port, requestClass);
  // Taking the cancel routine makes this the one routine that ends the request.
  if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) {
    IoReleaseCancelSpinLock(cancelIrql);
    return FALSE;
  }
  CompleteCurrent(port, cancelIrql, status, requestClass);
  return TRUE;
}

VOID KillAllRequests(PortRecord* port, const RequestClass* requestClass) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  ENTRY_REQUIRES_LOCK_NOT_HELD(port->PortLock);
  PLIST_ENTRY queue = QueueOf(port, requestClass);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  while (queue != NULL && !IsListEmpty(queue)) {
    PLIST_ENTRY newest = RemoveTailList(queue);
    // Self-linked, so that the cancel routine's own unlinking changes nothing.
    InitializeListHead(newest);
    // A queued request always carries CancelQueuedRequest, which releases the lock.
    PIRP irp = CONTAINING_RECORD(newest, IRP, Tail.Overlay.ListEntry);
    (VOID) CallCancelRoutine(port, irp, cancelIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
  }
  PIRP current = *CurrentSlot(port, requestClass);
  if (current != NULL && CallCancelRoutine(port, current, cancelIrql)) return;
  IoReleaseCancelSpinLock(cancelIrql);
}

VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  CountQueuedChars(PortOf(device), irp, -1);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

VOID CancelCurrentRequest(PDEVICE_OBJECT device, PIRP irp, const RequestClass* requestClass) {
  ENTRY_REQUIRES_LOCK_HELD(_Global_cancel_spin_lock_);
  PortRecord* port = PortOf(device);
  if (*CurrentSlot(port, requestClass) == NULL) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    return;
  }
  CompleteCurrent(port, irp->CancelIrql, STATUS_CANCELLED, requestClass);
}
