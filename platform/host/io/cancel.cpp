// Request cancellation (IoCancelIrp). Any level up to DISPATCH_LEVEL.
#include "host/io/records.h"
#include "host/ke/irql_checks.h"
#include "kernel.h"

extern "C" {

// Marks the request cancelled and, if it has a cancel routine, takes the routine out of it
// and calls it with the cancel lock held and the level to return to in CancelIrql; the
// routine releases the lock. Returns whether a routine was called.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoCancelIrp");
  host::io::detail::RequireLiveIrp(Irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}

}  // extern "C"
