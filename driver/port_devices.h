// The port devices and their names: "\Device\vxserial<i>", the link "\DosDevices\COM<n>" and
// the "SERIALCOMM" device-map value. Load and unload only, PASSIVE_LEVEL, no lock.
#pragma once

#include "port/numbered_name.h"

// Creates the devices of ports 0 to MaxPort - 1 in order, stopping at the first that cannot be
// created; TRUE when every port got its device. The records are bound to the given deferred
// routines.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN CreatePortDevices(PDRIVER_OBJECT driverObject, const PortDeferredRoutines* routines);

// Makes the port's COM link and, when that succeeded, its "SERIALCOMM" device-map value;
// returns the status of the link creation.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreatePortComName(PortRecord* record);
// Deletes the port's COM link (only one this port made) and its device-map value; returns the
// status of the link deletion.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DeletePortComName(PortRecord* record);

// Stops a port's timers and removes its queued deferred calls (one already running is not
// waited for).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID QuiescePort(PortRecord* record);

// Deletes every device of the driver with its COM name, device-map value and name buffer,
// newest first, after quiescing their timers and deferred calls. The link threads must have
// ended.
_IRQL_requires_(PASSIVE_LEVEL)
VOID DeletePortDevices(PDRIVER_OBJECT driverObject);

