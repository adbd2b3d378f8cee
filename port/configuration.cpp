// Configuration reads: every value is a REG_DWORD under ConfigPath\tessacom. A value that is
// absent, or stored with another type or another size than four bytes, reads as 3.
//
// Values are taken through a query routine, never read directly into their variable: a direct
// read hands string data to its destination as a counted string and data longer than four
// bytes as a sized buffer, which a four-byte variable cannot hold. The routine sees the type
// and length first and copies nothing but a four-byte REG_DWORD.
#include "port/configuration.h"
#include "port/pool_blocks.h"
#include "port/numbered_name.h"

static const ULONG DEFAULT_VALUE = 3;

// Query routine of one configuration value: copies the data of a four-byte REG_DWORD to
// *entryContext (a ULONG) and ignores any other type or size. PASSIVE_LEVEL, called by
// RtlQueryRegistryValues for the value found or, when it is missing, for the default.
static NTSTATUS NTAPI TakeDwordValue(PWSTR, ULONG type, PVOID data, ULONG length, PVOID,
                                     PVOID entryContext) {
  if (type == REG_DWORD && length == sizeof(ULONG)) RtlCopyMemory(entryContext, data, sizeof(ULONG));
  return STATUS_SUCCESS;
}

// Builds the four-entry query: select the "tessacom" subkey, then hand one value, unexpanded
// and with the default 3 when it is missing, to TakeDwordValue.
static VOID BuildValueQuery(PRTL_QUERY_REGISTRY_TABLE table, PCWSTR valueName, PULONG value) {
  RtlZeroMemory(table, 4 * sizeof(RTL_QUERY_REGISTRY_TABLE));
  table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
  table[0].Name = CONFIG_SUBKEY;
  table[1].QueryRoutine = TakeDwordValue;
  table[1].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  table[1].Name = valueName;
  table[1].EntryContext = value;
  table[1].DefaultType = REG_DWORD;
  table[1].DefaultData = (PVOID)&DEFAULT_VALUE;
  table[1].DefaultLength = sizeof(ULONG);
}

// The value's number, 3 when it is absent or not a four-byte REG_DWORD, and `unreadable` when
// the key cannot be read.
static ULONG QueryValue(PRTL_QUERY_REGISTRY_TABLE table, PCWSTR valueName, ULONG unreadable) {
  ULONG value = DEFAULT_VALUE;
  BuildValueQuery(table, valueName, &value);
  NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ConfigPath.Buffer, table, NULL, NULL);
  return NT_SUCCESS(status) ? value : unreadable;
}

static PRTL_QUERY_REGISTRY_TABLE AllocateQuery() {
  return (PRTL_QUERY_REGISTRY_TABLE)ExAllocatePoolWithTag(
      PagedPool, 4 * sizeof(RTL_QUERY_REGISTRY_TABLE), POOL_TAG);
}

NTSTATUS ReadConfigurationValue(PCWSTR valueName, PLONG value) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  PRTL_QUERY_REGISTRY_TABLE table = AllocateQuery();
  if (table == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  *value = (LONG)QueryValue(table, valueName, (ULONG)*value);
  ExFreePool(table);
  return STATUS_SUCCESS;
}

NTSTATUS ReadPortConfiguration() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  UNICODE_STRING number;
  UNICODE_STRING name;
  AllocateString(&number, PagedPool, NUMBER_CAPACITY);
  AllocateString(&name, PagedPool, NAME_CAPACITY);
  PRTL_QUERY_REGISTRY_TABLE table = AllocateQuery();
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (number.Buffer != NULL && name.Buffer != NULL && table != NULL) {
    LONG ports = MaxPort < MAX_PORTS ? MaxPort : MAX_PORTS;
    for (LONG n = 1; n <= ports; n++) {
      // A key that cannot be read gives channel -1 and address 0. The channel is the registry
      // number less one, taken modulo 2^32 so that no stored value overflows.
      BuildNumberedName(&name, TXT("StartNum"), (ULONG)n, &number);
      ULONG channel = QueryValue(table, name.Buffer, 0) - 1u;
      WriteShared(PortTable[n - 1].RemoteChannel, (LONG)channel);

      BuildNumberedName(&name, TXT("dAddress"), (ULONG)n, &number);
      WriteShared(PortTable[n - 1].RemoteAddress, QueryValue(table, name.Buffer, 0));
    }
    status = STATUS_SUCCESS;
  }
  FreeBlock((PVOID*)&table);
  FreeString(&name);
  FreeString(&number);
  return status;
}
