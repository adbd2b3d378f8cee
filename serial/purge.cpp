// Purge: aborts the port's writes and/or reads. The clear bits (SERIAL_PURGE_TXCLEAR and
// SERIAL_PURGE_RXCLEAR) change nothing: the rings keep their contents and nothing is sent.
#include "serial/serial_requests.h"

// Runs in the requesting thread, or in the one that completed the previous purge, with
// neither lock held. The kills take no port lock around them: cancelling a current read or
// write starts its successor (a request that arrived during the purge) through its start
// routine, and the read start routine takes PortLock, which is not recursive.
NTSTATUS StartPurge(PortRecord* port) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(_Global_cancel_spin_lock_);
  for (PIRP irp = port->CurrentPurgeIrp; irp != NULL;) {
    ULONG mask = *(PULONG)SystemBuffer(irp);
    if (mask & SERIAL_PURGE_TXABORT) KillAllRequests(port, &WriteClass);
    if (mask & SERIAL_PURGE_RXABORT) KillAllRequests(port, &ReadClass);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    GetNextRequest(port, &PurgeClass, &irp, TRUE);
  }
  return STATUS_SUCCESS;
}
