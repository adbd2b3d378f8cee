// The driver's configuration: REG_DWORD values under ConfigPath\tessacom, each 3 when absent
// or stored as anything but a four-byte REG_DWORD.
#pragma once

#include "port/port_record.h"

// Subkey of the configuration under ConfigPath.
#define CONFIG_SUBKEY TXT("tessacom")

// Reads one REG_DWORD value of the configuration key into *value, which keeps what it held when
// the key cannot be read and becomes 3 when only the value is missing or is not a four-byte
// REG_DWORD.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadConfigurationValue(PCWSTR valueName, PLONG value);

// Reads every port's remote channel ("StartNum" + n, minus 1) and address ("dAddress" + n).
// A key that cannot be opened gives every port address 0 and channel -1. Fails only when its
// temporaries cannot be allocated, leaving the entries as they were.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadPortConfiguration();
