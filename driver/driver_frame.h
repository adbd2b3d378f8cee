// The driver frame: load and its configuration reads, the port devices with their COM names,
// the error log, and unload.
#pragma once

#include "driver/port_record.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
VOID NTAPI UnloadDriver(PDRIVER_OBJECT driverObject);

// Subkey of the configuration under ConfigPath.
#define CONFIG_SUBKEY TXT("tessacom")

// Reads one REG_DWORD value of the configuration key into *value, which keeps what it held when
// the key cannot be read and becomes 3 when only the value is missing. PASSIVE_LEVEL.
NTSTATUS ReadConfigurationValue(PCWSTR valueName, PLONG value);

// Reads every port's remote channel ("StartNum" + n, minus 1) and address ("dAddress" + n).
// A key that cannot be opened gives every port address 0 and channel -1. Fails only when its
// temporaries cannot be allocated, leaving the entries as they were. PASSIVE_LEVEL.
NTSTATUS ReadPortConfiguration();

// Creates the devices of ports 0 to MaxPort - 1 in order, stopping at the first that cannot be
// created, each port's deferred calls bound to `routines`; TRUE when every port got its device.
// Load time, PASSIVE_LEVEL.
BOOLEAN CreatePortDevices(PDRIVER_OBJECT driverObject, const PortDeferredRoutines* routines);

// Creates (create TRUE) or deletes the port's COM link and "SERIALCOMM" device-map value;
// returns the status of the link operation. PASSIVE_LEVEL.
NTSTATUS SetPortComName(PortRecord* record, BOOLEAN create);

// Deletes every device of the driver with its COM name, device-map value and name buffer,
// newest first, after quiescing their timers and deferred calls. PASSIVE_LEVEL.
VOID DeletePortDevices(PDRIVER_OBJECT driverObject);

// Sets `out` to prefix + value in decimal, zero-terminated; `number` is the scratch for the
// digits. Fails, leaving `out` empty, when the digits or the whole name do not fit. The
// buffers must have room for a terminating zero past their MaximumLength.
NTSTATUS BuildNumberedName(PUNICODE_STRING out, PCWSTR prefix, ULONG value, PUNICODE_STRING number);
VOID TerminateString(PUNICODE_STRING string);

// Releases the shared buffers, the configuration path and the control packets still queued.
// The link threads must have ended. PASSIVE_LEVEL.
VOID ReleaseDriverMemory();

VOID LogDriverError(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject,
                    LONGLONG firstAddress, LONGLONG secondAddress, ULONG sequenceNumber,
                    UCHAR majorFunctionCode, UCHAR retryCount, ULONG uniqueErrorValue,
                    NTSTATUS finalStatus, NTSTATUS errorCode, ULONG firstInsertLength,
                    const VOID* firstInsert, ULONG secondInsertLength, const VOID* secondInsert);

// 0 when the starts are equal, 1 when the ranges overlap, 2 when they are disjoint.
ULONG CompareAddressRanges(LONGLONG startA, ULONG lengthA, LONGLONG startB, ULONG lengthB);

// Error code of the one entry the driver logs: memory for device creation ran out.
constexpr NTSTATUS SERIAL_INSUFFICIENT_RESOURCES_CODE = (NTSTATUS)0xC0060008L;
constexpr ULONG DEVICE_CREATION_UNIQUE_VALUE = 9;
