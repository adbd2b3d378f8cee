// The I/O manager's requests for file objects: build, send, wait, cancel (io_submit.h).
// Passive level: the caller's thread is the requestor.
#include "host/io/submit.h"

#include <string>

#include "host/ke/irql_checks.h"
#include "host/rtl/wide_text.h"
#include "kernel.h"

namespace host::io::detail {

std::shared_ptr<ClientState> Submit(PFILE_OBJECT file, KPROCESSOR_MODE mode, const RequestFiller& fill) {
  auto state = std::make_shared<ClientState>();
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
  if (!IsLiveDevice(device)) {
    state->done = true;
    state->status = STATUS_NO_SUCH_DEVICE;
    return state;
  }
  PIRP irp = NewIrp(device->StackSize, Origin::Client);
  RequestRecord* record = RecordOf(irp);
  record->client = state;
  state->irp = irp;
  irp->RequestorMode = mode;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->FileObject = file;
  if (!fill(irp, stack, record)) {
    ReleaseMdls(irp);
    ReleaseIrp(irp);
    state->irp = nullptr;
    state->done = true;
    state->status = STATUS_INSUFFICIENT_RESOURCES;
    return state;
  }
  const unsigned major = stack->MajorFunction;
  const std::string driver = rtl::ToUtf8(rtl::View(&device->DriverObject->DriverName));
  NTSTATUS status = IofCallDriver(device, irp);
  std::lock_guard lock(state->lock);
  state->dispatched = true;
  state->dispatchStatus = status;
  if (state->done && status == STATUS_PENDING && !state->pendingMarked) {
    verifier::Stop("IRP_PENDING_NOT_MARKED", "IofCallDriver",
                   "the dispatch routine of %s for major function 0x%02x returned STATUS_PENDING "
                   "for a request it did not mark pending (IoMarkIrpPending)",
                   driver.c_str(), major);
  }
  if (!state->done && status != STATUS_PENDING) {
    verifier::Stop("IRP_NOT_COMPLETED_AT_RETURN", "IofCallDriver",
                   "the dispatch routine of %s for major function 0x%02x returned status "
                   "0x%08X for a request it has neither completed nor marked pending",
                   driver.c_str(), major, static_cast<unsigned>(status));
  }
  return state;
}

void WaitDone(ClientState& state) {
  std::unique_lock lock(state.lock);
  state.changed.wait(lock, [&] { return state.done; });
}

bool WaitDoneFor(ClientState& state, std::chrono::nanoseconds limit) {
  std::unique_lock lock(state.lock);
  return state.changed.wait_for(lock, limit, [&] { return state.done; });
}

bool CancelInFlight(ClientState& state) {
  PIRP irp;
  {
    std::lock_guard lock(state.lock);
    if (state.done || state.irp == nullptr) return false;
    ++state.pins;
    irp = state.irp;
  }
  bool cancelled = IoCancelIrp(irp) != FALSE;
  bool release = false;
  {
    std::lock_guard lock(state.lock);
    if (--state.pins == 0 && state.releaseDeferred) {
      state.releaseDeferred = false;
      state.irp = nullptr;
      release = true;
    }
  }
  if (release) ReleaseIrp(irp);
  return cancelled;
}

}  // namespace host::io::detail
