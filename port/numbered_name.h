// Names made of a prefix and a decimal number: device names, COM links, registry value names.
// PASSIVE_LEVEL (load and unload), no lock.
#pragma once

#include "port/port_record.h"

// Capacities in bytes of the temporary name strings of load and unload.
constexpr USHORT NUMBER_CAPACITY = 10;  // four digits and the terminating zero
constexpr USHORT NAME_CAPACITY = 256;

// Sets `out` to prefix + value in decimal, zero-terminated; `number` is the scratch for the
// digits. Fails, leaving `out` empty, when the digits or the whole name do not fit. The
// buffers must have room for a terminating zero past their MaximumLength.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BuildNumberedName(PUNICODE_STRING out, PCWSTR prefix, ULONG value, PUNICODE_STRING number);
VOID TerminateString(PUNICODE_STRING string);
