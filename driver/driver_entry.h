// Load and unload of the driver, and the release of its shared memory.
#pragma once

#include "port/port_record.h"

_IRQL_requires_(PASSIVE_LEVEL)
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
_IRQL_requires_(PASSIVE_LEVEL)
VOID NTAPI UnloadDriver(PDRIVER_OBJECT driverObject);

// Releases the shared buffers, the configuration path and the control packets still queued.
// The link threads must have ended.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseDriverMemory();
