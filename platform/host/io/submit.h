// Private to platform/host/io.
// Sending the I/O manager's own requests for a file object: the client API's
// reads, writes and controls, and the create, cleanup and close of file objects.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "host/io/records.h"

namespace host::io::detail {

// Fills the request's next stack location (FileObject is set already) and its buffers;
// returns false when a resource is missing (the request then fails with
// STATUS_INSUFFICIENT_RESOURCES without reaching the driver).
using RequestFiller = std::function<bool(PIRP irp, PIO_STACK_LOCATION stack, RequestRecord* record)>;

// Builds a request for the file object's device and sends it. The state is done at once with
// STATUS_NO_SUCH_DEVICE when the device has been deleted.
std::shared_ptr<ClientState> Submit(PFILE_OBJECT file, KPROCESSOR_MODE mode, const RequestFiller& fill);
void WaitDone(ClientState& state);
bool WaitDoneFor(ClientState& state, std::chrono::nanoseconds limit);
// IoCancelIrp on the request if it is still in flight.
bool CancelInFlight(ClientState& state);

}  // namespace host::io::detail
