// The port devices and their names: "\Device\vxserial<i>", the link "\DosDevices\COM<n>" and
// the "SERIALCOMM" device-map value. Load and unload only, PASSIVE_LEVEL, no lock.
#pragma once

#include "driver/port_record.h"

// Capacities in bytes of the temporary name strings of load and unload.
constexpr USHORT NUMBER_CAPACITY = 10;  // four digits and the terminating zero
constexpr USHORT NAME_CAPACITY = 256;

// Creates the devices of ports 0 to MaxPort - 1 in order, stopping at the first that cannot be
// created; TRUE when every port got its device. The records are bound to the given deferred
// routines.
BOOLEAN CreatePortDevices(PDRIVER_OBJECT driverObject, const PortDeferredRoutines* routines);

// Makes the port's COM link and, when that succeeded, its "SERIALCOMM" device-map value;
// returns the status of the link creation.
NTSTATUS CreatePortComName(PortRecord* record);
// Deletes the port's COM link (only one this port made) and its device-map value; returns the
// status of the link deletion.
NTSTATUS DeletePortComName(PortRecord* record);

// Stops a port's timers and removes its queued deferred calls (one already running is not
// waited for). IRQL <= DISPATCH_LEVEL.
VOID QuiescePort(PortRecord* record);

// Deletes every device of the driver with its COM name, device-map value and name buffer,
// newest first, after quiescing their timers and deferred calls. The link threads must have
// ended.
VOID DeletePortDevices(PDRIVER_OBJECT driverObject);

// Sets `out` to prefix + value in decimal, zero-terminated; `number` is the scratch for the
// digits. Fails, leaving `out` empty, when the digits or the whole name do not fit. The
// buffers must have room for a terminating zero past their MaximumLength.
NTSTATUS BuildNumberedName(PUNICODE_STRING out, PCWSTR prefix, ULONG value, PUNICODE_STRING number);
VOID TerminateString(PUNICODE_STRING string);
