// Issuing a device-control request and reporting its completion status.
#include "device_control.h"

namespace comm::detail {

BOOL Finish(const host::io::Result& result, DWORD* done) {
  if (done != nullptr) *done = static_cast<DWORD>(result.information);
  if (NT_SUCCESS(result.status)) return TRUE;
  SetLastError(ErrorFromStatus(result.status));
  return FALSE;
}

BOOL Control(Port& port, ULONG code, const void* input, ULONG inputLength, void* output,
             ULONG outputLength, ULONG_PTR* returned) {
  const host::io::Result result = port.DeviceControl(code, input, inputLength, output, outputLength);
  if (returned != nullptr) *returned = result.information;
  return Finish(result, nullptr);
}

}  // namespace comm::detail
