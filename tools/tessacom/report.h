// What the program shows of a loaded driver and of what an unload left behind.
#pragma once

#include <iosfwd>

#include "driver_binding.h"

namespace tessacom {

// Devices, COM links, SERIALCOMM values, receiver threads and error-log entries.
void PrintLoadReport(std::ostream& out, NTSTATUS status, const DriverBinding& driver);
// The verifier's summary: pool outstanding by tag, threads, timers and deferred calls alive.
void PrintLeftovers(std::ostream& out);

}  // namespace tessacom
