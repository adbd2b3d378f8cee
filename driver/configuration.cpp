// Configuration reads: every value is a REG_DWORD under ConfigPath\tessacom, 3 when absent.
#include "driver/configuration.h"
#include "driver/pool_blocks.h"
#include "driver/port_devices.h"

static const LONG DEFAULT_VALUE = 3;

// Builds the four-entry query: select the "tessacom" subkey, then read one REG_DWORD directly.
static VOID BuildValueQuery(PRTL_QUERY_REGISTRY_TABLE table, PCWSTR valueName, PLONG value) {
  RtlZeroMemory(table, 4 * sizeof(RTL_QUERY_REGISTRY_TABLE));
  table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
  table[0].Name = CONFIG_SUBKEY;
  table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[1].Name = valueName;
  table[1].EntryContext = value;
  table[1].DefaultType = REG_DWORD;
  table[1].DefaultData = (PVOID)&DEFAULT_VALUE;
  table[1].DefaultLength = sizeof(ULONG);
}

static NTSTATUS RunValueQuery(PRTL_QUERY_REGISTRY_TABLE table, PCWSTR valueName, PLONG value) {
  BuildValueQuery(table, valueName, value);
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ConfigPath.Buffer, table, NULL, NULL);
}

static PRTL_QUERY_REGISTRY_TABLE AllocateQuery() {
  return (PRTL_QUERY_REGISTRY_TABLE)ExAllocatePoolWithTag(
      PagedPool, 4 * sizeof(RTL_QUERY_REGISTRY_TABLE), POOL_TAG);
}

NTSTATUS ReadConfigurationValue(PCWSTR valueName, PLONG value) {
  PRTL_QUERY_REGISTRY_TABLE table = AllocateQuery();
  if (table == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = RunValueQuery(table, valueName, value);
  ExFreePool(table);
  return status;
}

NTSTATUS ReadPortConfiguration() {
  UNICODE_STRING number;
  UNICODE_STRING name;
  AllocateString(&number, PagedPool, NUMBER_CAPACITY);
  AllocateString(&name, PagedPool, NAME_CAPACITY);
  PRTL_QUERY_REGISTRY_TABLE table = AllocateQuery();
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (number.Buffer != NULL && name.Buffer != NULL && table != NULL) {
    LONG ports = MaxPort < MAX_PORTS ? MaxPort : MAX_PORTS;
    for (LONG n = 1; n <= ports; n++) {
      // A key that cannot be read leaves the zero each read starts from.
      LONG channel = 0;
      BuildNumberedName(&name, TXT("StartNum"), (ULONG)n, &number);
      RunValueQuery(table, name.Buffer, &channel);
      WriteShared(PortTable[n - 1].RemoteChannel, channel - 1);

      LONG address = 0;
      BuildNumberedName(&name, TXT("dAddress"), (ULONG)n, &number);
      RunValueQuery(table, name.Buffer, &address);
      WriteShared(PortTable[n - 1].RemoteAddress, (ULONG)address);
    }
    status = STATUS_SUCCESS;
  }
  FreeBlock((PVOID*)&table);
  FreeString(&name);
  FreeString(&number);
  return status;
}
