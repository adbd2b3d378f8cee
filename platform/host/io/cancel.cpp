// Request cancellation (IoCancelIrp). Any level up to DISPATCH_LEVEL.
#include <string>

#include "host/io/records.h"
#include "host/ke/irql_checks.h"
#include "host/ke/processor_region.h"
#include "host/ke/released_memory.h"
#include "host/verifier/describe.h"
#include "kernel.h"

extern "C" {

// Marks the request cancelled and, if it has a cancel routine, takes the routine out of it
// and calls it with the cancel lock held and the level to return to in CancelIrql; the
// routine releases the lock. Returns whether a routine was called. A routine that returns
// still holding the cancel lock, or at another level than it was called from, stops the host
// (the kernel would hang at the next cancellation, or run on at the wrong level).
BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  host::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoCancelIrp");
  host::io::detail::RequireLiveIrp(Irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Stored under the cancel lock, where drivers read it; the completion of the request, which
  // may be under way on another processor, reads it without the lock.
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  host::ke::detail::EnterProcessorRegion();
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  const std::string name = host::verifier::DescribeCode(reinterpret_cast<void*>(routine));
  if (host::ke::CancelSpinLockHeldByCaller()) {
    host::verifier::Stop("CANCEL_ROUTINE_KEPT_CANCEL_LOCK", name.c_str(),
                         "cancel routine of request %p returned holding the cancel lock",
                         static_cast<void*>(Irp));
  }
  if (KeGetCurrentIrql() != irql) {
    host::verifier::Stop("IRQL_CHANGED_BY_CANCEL_ROUTINE", name.c_str(),
                         "cancel routine of request %p returned at IRQL %u instead of %u",
                         static_cast<void*>(Irp), KeGetCurrentIrql(), irql);
  }
  return TRUE;
}

}  // extern "C"
