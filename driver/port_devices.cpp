// Port devices and their names: "\Device\vxserial<i>", the link "\DosDevices\COM<n>", and the
// "SERIALCOMM" device-map value. Load and unload only, PASSIVE_LEVEL, no lock.
#include "driver/port_devices.h"

#include "driver/error_log.h"
#include "port/pool_blocks.h"

namespace {

constexpr USHORT LINK_NAME_BUFFER = 42;
constexpr int DEVICE_PREFIX_CHARS = 8;  // "\Device\"

#define DEVICE_NAME_PREFIX TXT("\\Device\\vxserial")
#define LINK_NAME_PREFIX TXT("\\DosDevices\\COM")
#define DEVICE_MAP_KEY TXT("SERIALCOMM")

VOID LogOutOfMemory(PDRIVER_OBJECT driverObject) {
  LogDriverError(driverObject, NULL, 0, 0, 0, 0, 0, DEVICE_CREATION_UNIQUE_VALUE, STATUS_SUCCESS,
                 SERIAL_INSUFFICIENT_RESOURCES_CODE, 0, NULL, 0, NULL);
}

// Copies the device name into a non-paged buffer of exactly its length + 2 bytes.
VOID KeepDeviceName(PortRecord* record, PCUNICODE_STRING name) {
  USHORT size = (USHORT)(name->Length + sizeof(WCHAR));
  record->DeviceName.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
  record->DeviceName.Length = 0;
  record->DeviceName.MaximumLength = 0;
  if (record->DeviceName.Buffer == NULL) return;
  RtlCopyMemory(record->DeviceName.Buffer, name->Buffer, name->Length);
  record->DeviceName.Buffer[name->Length / sizeof(WCHAR)] = 0;
  record->DeviceName.Length = name->Length;
  record->DeviceName.MaximumLength = size;
}

// The device-map value name of a port: its device name without "\Device\"; null without one.
PCWSTR DeviceMapValueName(const PortRecord* record) {
  return record->DeviceName.Buffer != NULL ? record->DeviceName.Buffer + DEVICE_PREFIX_CHARS : NULL;
}

// The temporaries of a COM-name operation: the link name "\DosDevices\COM<n>" and the digits.
struct ComName {
  UNICODE_STRING Number;
  UNICODE_STRING Link;
};

// Builds the port's link name; FALSE (nothing held) when the buffers cannot be had or the COM
// number's digits do not fit.
BOOLEAN BuildComName(const PortRecord* record, ComName* name) {
  if (!AllocateString(&name->Number, PagedPool, NUMBER_CAPACITY)) return FALSE;
  if (AllocateString(&name->Link, NonPagedPool, LINK_NAME_BUFFER) &&
      NT_SUCCESS(BuildNumberedName(&name->Link, LINK_NAME_PREFIX, record->ComNumber,
                                   &name->Number))) {
    return TRUE;
  }
  FreeString(&name->Link);
  FreeString(&name->Number);
  return FALSE;
}

VOID ReleaseComName(ComName* name) {
  FreeString(&name->Link);
  FreeString(&name->Number);
}

}  // namespace

VOID QuiescePort(PortRecord* record) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  KeCancelTimer(&record->ReadTotalTimer);
  KeCancelTimer(&record->ReadIntervalTimer);
  KeCancelTimer(&record->WriteTotalTimer);
  KeCancelTimer(&record->ImmediateTotalTimer);
  KeCancelTimer(&record->AckTimer);
  KeRemoveQueueDpc(&record->WriteDpc);
  KeRemoveQueueDpc(&record->ReadDataDpc);
  KeRemoveQueueDpc(&record->WriteTimeoutDpc);
  KeRemoveQueueDpc(&record->ReadTotalTimeoutDpc);
  KeRemoveQueueDpc(&record->ReadIntervalTimeoutDpc);
  KeRemoveQueueDpc(&record->CompleteWaitDpc);
  KeRemoveQueueDpc(&record->ImmediateSendDpc);
  KeRemoveQueueDpc(&record->ImmediateTimeoutDpc);
  KeRemoveQueueDpc(&record->AckTimeoutDpc);
}

BOOLEAN CreatePortDevices(PDRIVER_OBJECT driverObject, const PortDeferredRoutines* routines) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  UNICODE_STRING number;
  UNICODE_STRING name;
  if (!AllocateString(&number, PagedPool, NUMBER_CAPACITY)) {
    LogOutOfMemory(driverObject);
    return FALSE;
  }
  if (!AllocateString(&name, PagedPool, NAME_CAPACITY)) {
    LogOutOfMemory(driverObject);
    FreeString(&number);
    return FALSE;
  }
  BOOLEAN complete = TRUE;
  LONG ports = MaxPort < MAX_PORTS ? MaxPort : MAX_PORTS;
  for (LONG i = 0; i < ports; i++) {
    BuildNumberedName(&name, DEVICE_NAME_PREFIX, (ULONG)i, &number);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(PortRecord), &name,
                                     FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
      complete = FALSE;
      break;
    }
    device->Flags |= DO_BUFFERED_IO;
    auto record = (PortRecord*)device->DeviceExtension;
    InitializePortRecord(record, i, routines);
    record->DeviceObject = device;
    KeepDeviceName(record, &name);
    CreatePortComName(record);
  }
  FreeString(&name);
  FreeString(&number);
  return complete;
}

NTSTATUS CreatePortComName(PortRecord* record) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  ComName name;
  if (!BuildComName(record, &name)) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = STATUS_SUCCESS;
  if (record->DeviceName.Buffer != NULL) {
    status = IoCreateSymbolicLink(&name.Link, &record->DeviceName);
    if (NT_SUCCESS(status)) {
      record->ComNameCreated = 1;
      // The same buffer becomes the device-map data: "COM<n>" with its terminating zero.
      name.Link.Length = 0;
      RtlAppendUnicodeToString(&name.Link, TXT("COM"));
      RtlAppendUnicodeStringToString(&name.Link, &name.Number);
      TerminateString(&name.Link);
      RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, DEVICE_MAP_KEY, DeviceMapValueName(record),
                            REG_SZ, name.Link.Buffer, name.Link.Length + sizeof(WCHAR));
    }
  }
  ReleaseComName(&name);
  return status;
}

NTSTATUS DeletePortComName(PortRecord* record) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  ComName name;
  if (!BuildComName(record, &name)) return STATUS_INSUFFICIENT_RESOURCES;
  // A link of that name that this port did not make belongs to someone else: it stays.
  NTSTATUS status = record->ComNameCreated ? IoDeleteSymbolicLink(&name.Link) : STATUS_SUCCESS;
  record->ComNameCreated = 0;
  PCWSTR valueName = DeviceMapValueName(record);
  if (valueName != NULL) RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, DEVICE_MAP_KEY, valueName);
  ReleaseComName(&name);
  return status;
}

VOID DeletePortDevices(PDRIVER_OBJECT driverObject) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  // Deferred routines re-arm their timers only while Unloading is 0. Once the calls that may
  // have read 0 are flushed, one quiesce and a second flush leave nothing queued or running.
  KeFlushQueuedDpcs();
  for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != NULL; device = device->NextDevice) {
    QuiescePort((PortRecord*)device->DeviceExtension);
  }
  KeFlushQueuedDpcs();

  while (driverObject->DeviceObject != NULL) {
    PDEVICE_OBJECT device = driverObject->DeviceObject;
    auto record = (PortRecord*)device->DeviceExtension;
    DeletePortComName(record);
    FreeString(&record->DeviceName);
    if (record->PortIndex >= 0 && record->PortIndex < MAX_PORTS) {
      PortTable[record->PortIndex].PortRecord = NULL;
    }
    IoDeleteDevice(device);
  }
}
