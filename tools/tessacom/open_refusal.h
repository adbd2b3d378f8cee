// Why an open of a COM port failed, in words. The driver refuses an open with one status,
// STATUS_FILES_OPEN (ERROR_OPEN_FILES to programs), for three causes: the port has no remote,
// its link is still open from a reply that came after an earlier open gave up (refused at
// once), or the remote did not answer the open within the driver's wait. They are told apart
// here from the loaded driver's port table, the host's loopback guard and how long the open
// took on the driver's clock: an open that asked the remote took at least the 50 ms the driver
// lets pass before it first looks for the reply. A port open to another handle is refused
// before the driver sees the open (STATUS_ACCESS_DENIED: the device is exclusive).
#pragma once

#include <string>

#include "driver_binding.h"

namespace tessacom {

// What people are told of an open of `name` ("COM3", "\\.\COM3" or "\Device\vxserial0") that
// failed with `status` after `waitedSeconds` of the driver's clock; "" when `name` is none of
// the driver's ports or the status is neither of the two above.
std::string OpenRefusalText(const DriverBinding& driver, const std::string& name, NTSTATUS status,
                            double waitedSeconds);

// The driver's clock (its system time) in seconds, for timing an open.
double DriverClockSeconds();

}  // namespace tessacom
