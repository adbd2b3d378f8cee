// Opening and closing a port, reads, writes, flushes and the wait on events: the calls whose
// requests may stay in the driver, blocking or overlapped.
#include "device_control.h"

namespace comm {

namespace {

// A request just started: waited for when the call blocks; otherwise handed to the caller's
// Overlapped, the call answering at once only when the driver did not leave it pending.
BOOL Started(host::io::AsyncRequest request, Overlapped* overlapped, DWORD* done) {
  if (done != nullptr) *done = 0;
  if (overlapped == nullptr) return detail::Finish(request.Wait(), done);
  const bool pending = request.DispatchStatus() == STATUS_PENDING;
  overlapped->request = std::move(request);
  if (!pending) return detail::Finish(overlapped->request.Wait(), done);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

}  // namespace

Port OpenPort(std::string_view name) {
  host::io::OpenResult opened = host::io::Open(name);
  if (!opened) SetLastError(ErrorFromStatus(opened.status));
  return std::move(opened.file);
}

BOOL ClosePort(Port& port) {
  const NTSTATUS status = port.Close();
  if (NT_SUCCESS(status)) return TRUE;
  SetLastError(ErrorFromStatus(status));
  return FALSE;
}

BOOL ReadFile(Port& port, void* buffer, DWORD length, DWORD* done, Overlapped* overlapped) {
  return Started(port.ReadAsync(buffer, length), overlapped, done);
}

BOOL WriteFile(Port& port, const void* data, DWORD length, DWORD* done, Overlapped* overlapped) {
  return Started(port.WriteAsync(data, length), overlapped, done);
}

BOOL FlushFileBuffers(Port& port) { return detail::Finish(port.Flush(), nullptr); }

BOOL WaitCommEvent(Port& port, DWORD& mask, Overlapped* overlapped) {
  static_assert(sizeof(DWORD) == sizeof(ULONG));
  return Started(port.DeviceControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, sizeof mask),
                 overlapped, nullptr);
}

BOOL GetOverlappedResult(Port&, Overlapped& overlapped, DWORD& transferred, BOOL wait) {
  if (!wait && !overlapped.request.Done()) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  return detail::Finish(overlapped.request.Wait(), &transferred);
}

BOOL CancelIoEx(Port&, Overlapped& overlapped) {
  if (overlapped.request.Done()) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  overlapped.request.Cancel();  // marked cancelled even when no cancel routine is set yet
  return TRUE;
}

}  // namespace comm
