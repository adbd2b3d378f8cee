// Load and unload of the driver, and the release of its shared memory.
#pragma once

#include "port/port_record.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
VOID NTAPI UnloadDriver(PDRIVER_OBJECT driverObject);

// Releases the shared buffers, the configuration path and the control packets still queued.
// The link threads must have ended. PASSIVE_LEVEL.
VOID ReleaseDriverMemory();
