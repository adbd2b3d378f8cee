// Loading and unloading the driver under test, as the system's service control does for a
// legacy driver: one driver at a time.
#pragma once

#include <string_view>

#include "host/ddk/io.h"

namespace host::session {

inline constexpr std::string_view kDefaultRegistryPath =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom";

// Where a driver's image is mapped, as the kernel's loader records it in the driver object
// (DriverStart, DriverSize): the image's base and its SizeOfImage. Empty for a driver compiled
// into the host, which has no image.
struct DriverImageExtent {
  PVOID start = nullptr;
  ULONG size = 0;
};

// Creates the driver object (named "\Driver\" + the last component of the registry path,
// every MajorFunction entry set to a handler that completes with
// STATUS_INVALID_DEVICE_REQUEST, DriverStart and DriverSize from `image`), runs the entry
// routine at PASSIVE_LEVEL on a system thread of its own and returns its status. After a failed
// load the driver object stays for inspection (LoadedDriver) until ReleaseFailedDriver or the
// next load.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::string_view registryPath = kDefaultRegistryPath,
                    DriverImageExtent image = {});
// The driver object of the last load, or null.
PDRIVER_OBJECT LoadedDriver();
// Unloads the loaded driver: calls its unload routine at PASSIVE_LEVEL on a system thread,
// then the verifier's unload checks (pool, timers, deferred calls, threads), then stops with
// DEVICE_ALIVE_AT_UNLOAD or SYMBOLIC_LINK_ALIVE_AT_UNLOAD if a device object of the driver or
// a symbolic link to one of its devices remains. Unwritten error-log entries are released.
void UnloadDriver();
// Releases the driver object of a failed load after the same checks: a load that fails must
// leave nothing behind.
void ReleaseFailedDriver();

}  // namespace host::session
