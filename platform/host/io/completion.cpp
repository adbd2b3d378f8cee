// Request completion (IofCompleteRequest): the verifier's checks, the walk up the stack
// locations with their completion routines, and what the I/O manager owes the originator: the
// buffered copy-out, the status block and event, the release of requests it built, and the
// wake-up of a waiting client. Callable at any level up to DISPATCH_LEVEL.
#include <cstring>

#include "host/io/records.h"
#include "host/ke/irql_checks.h"
#include "host/ke/processor_region.h"
#include "kernel.h"

namespace host::io::detail {
namespace {

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Whether the I/O manager calls a location's completion routine for how the request ended:
// the invoke flags IoSetCompletionRoutine sets, for success, error or cancellation.
bool Invokes(const IO_STACK_LOCATION* stack, const IRP* irp) {
  // IoCancelIrp may be marking the request on another processor at this moment.
  const bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
  if (cancelled && (stack->Control & SL_INVOKE_ON_CANCEL)) return true;
  return (stack->Control & (NT_SUCCESS(irp->IoStatus.Status) ? SL_INVOKE_ON_SUCCESS : SL_INVOKE_ON_ERROR)) != 0;
}

// Buffered output: the Information bytes the driver reports, never more than the caller's
// buffer holds, and nothing for a request that failed.
void CopyOut(PIRP irp, const RequestRecord* record) {
  if (record->copyOutTo == nullptr || record->systemBuffer == nullptr || IsError(irp->IoStatus.Status)) {
    return;
  }
  ULONG_PTR bytes = irp->IoStatus.Information;
  if (bytes > record->copyOutLimit) bytes = record->copyOutLimit;
  std::memcpy(record->copyOutTo, record->systemBuffer, bytes);
}

void FinishClientRequest(PIRP irp, RequestRecord* record) {
  CopyOut(irp, record);
  ReleaseMdls(irp);
  std::shared_ptr<ClientState> state = record->client;
  {
    std::lock_guard lock(state->lock);
    state->status = irp->IoStatus.Status;
    state->information = irp->IoStatus.Information;
    state->pendingMarked = irp->PendingReturned;
    if (state->dispatched && state->dispatchStatus == STATUS_PENDING && !state->pendingMarked) {
      verifier::Stop("IRP_PENDING_NOT_MARKED", "IofCompleteRequest",
                     "request %p: its dispatch routine returned STATUS_PENDING without marking it "
                     "pending (IoMarkIrpPending)",
                     static_cast<void*>(irp));
    }
    if (state->pins == 0) {
      state->irp = nullptr;
      ReleaseIrp(irp);
    } else {
      state->releaseDeferred = true;  // a canceller still uses it; it releases the request
    }
    state->done = true;
  }
  state->changed.notify_all();
}

}  // namespace
}  // namespace host::io::detail

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  using namespace host::io::detail;
  host::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IofCompleteRequest");
  MarkCompleting(Irp);
  RecordOf(Irp)->boost = PriorityBoost;
  // IoCancelIrp may be exchanging the routine on another processor at this moment.
  PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE);
  if (cancelRoutine != nullptr) {
    host::verifier::Stop("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IofCompleteRequest",
                         "request %p still has cancel routine %p", static_cast<void*>(Irp),
                         reinterpret_cast<void*>(cancelRoutine));
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    host::verifier::Stop("IRP_COMPLETED_WITH_PENDING_STATUS", "IofCompleteRequest",
                         "request %p completed with status STATUS_PENDING", static_cast<void*>(Irp));
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    host::verifier::Stop("IRP_COMPLETED_TWICE", "IofCompleteRequest",
                         "request %p has no stack location left to complete", static_cast<void*>(Irp));
  }
  // Up the stack: each location's completion routine sees the device of the location above.
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ++Irp->CurrentLocation;
    ++Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    if (routine != nullptr && Invokes(stack, Irp)) {
      PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                  ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                  : nullptr;
      host::ke::detail::EnterProcessorRegion();
      if (routine(device, Irp, stack->Context) == STATUS_MORE_PROCESSING_REQUIRED) {
        MarkReturnedToOwner(Irp);
        return;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  RequestRecord* record = RecordOf(Irp);
  switch (record->origin) {
    case Origin::Allocated:
      // Its owner frees it; the status block and event are still served.
      if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
      if (Irp->UserEvent != nullptr) KeSetEvent(Irp->UserEvent, PriorityBoost, FALSE);
      break;
    case Origin::BuiltControl: {
      // As the platform does for a request built for a thread: an error completion of a
      // request that never went pending writes neither the status block nor the event; its
      // originator has the status from IofCallDriver. Success, warnings and anything that
      // went pending are served.
      if (!IsError(Irp->IoStatus.Status) || Irp->PendingReturned) {
        CopyOut(Irp, record);
        if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
        // The event may live on the waiter's stack: nothing of it is touched after setting it.
        if (Irp->UserEvent != nullptr) KeSetEvent(Irp->UserEvent, PriorityBoost, FALSE);
      }
      ReleaseMdls(Irp);
      ReleaseIrp(Irp);
      break;
    }
    case Origin::Client:
      FinishClientRequest(Irp, record);
      break;
  }
}

}  // extern "C"
