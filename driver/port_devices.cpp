// Port devices and their names: "\Device\vxserial<i>", the link "\DosDevices\COM<n>", and the
// "SERIALCOMM" device-map value. Load and unload only, PASSIVE_LEVEL, no lock.
#include "driver/driver_frame.h"

namespace {

constexpr USHORT NUMBER_CAPACITY = 10;      // four digits and the terminating zero
constexpr USHORT NAME_CAPACITY = 256;
constexpr USHORT LINK_NAME_BUFFER = 42;
constexpr int DEVICE_PREFIX_CHARS = 8;      // "\Device\"

#define DEVICE_NAME_PREFIX TXT("\\Device\\vxserial")
#define LINK_NAME_PREFIX TXT("\\DosDevices\\COM")
#define DEVICE_MAP_KEY TXT("SERIALCOMM")

// Allocates a counted string of the given capacity with room for a terminating zero.
BOOLEAN AllocateString(PUNICODE_STRING string, POOL_TYPE pool, USHORT capacity) {
  string->Buffer = (PWSTR)ExAllocatePoolWithTag(pool, capacity, POOL_TAG);
  string->Length = 0;
  string->MaximumLength = (USHORT)(capacity - sizeof(WCHAR));
  if (string->Buffer != NULL) RtlZeroMemory(string->Buffer, capacity);
  return (BOOLEAN)(string->Buffer != NULL);
}

VOID FreeString(PUNICODE_STRING string) {
  if (string->Buffer != NULL) ExFreePool(string->Buffer);
  string->Buffer = NULL;
}

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

// Stops a port's timers and removes its queued deferred calls.
VOID QuiescePort(PortRecord* record) {
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

}  // namespace

BOOLEAN CreatePortDevices(PDRIVER_OBJECT driverObject) {
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
    InitializePortRecord(record, i, &PortDeferredRoutineTable);
    record->DeviceObject = device;
    KeepDeviceName(record, &name);
    SetPortComName(record, TRUE);
  }
  FreeString(&name);
  FreeString(&number);
  return complete;
}

NTSTATUS SetPortComName(PortRecord* record, BOOLEAN create) {
  UNICODE_STRING number;
  UNICODE_STRING link;
  if (!AllocateString(&number, PagedPool, NUMBER_CAPACITY)) return STATUS_INSUFFICIENT_RESOURCES;
  if (!AllocateString(&link, NonPagedPool, LINK_NAME_BUFFER)) {
    FreeString(&number);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // A COM number whose digits do not fit gets no name: nothing is created or deleted.
  NTSTATUS status = BuildNumberedName(&link, LINK_NAME_PREFIX, record->ComNumber, &number);
  PCWSTR valueName = record->DeviceName.Buffer != NULL
                         ? record->DeviceName.Buffer + DEVICE_PREFIX_CHARS : NULL;
  if (NT_SUCCESS(status) && create) {
    if (record->DeviceName.Buffer != NULL) {
      status = IoCreateSymbolicLink(&link, &record->DeviceName);
      if (NT_SUCCESS(status)) {
        record->ComNameCreated = 1;
        link.Length = 0;
        RtlAppendUnicodeToString(&link, TXT("COM"));
        RtlAppendUnicodeStringToString(&link, &number);
        TerminateString(&link);
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, DEVICE_MAP_KEY, valueName, REG_SZ,
                              link.Buffer, link.Length + sizeof(WCHAR));
      }
    }
  } else if (NT_SUCCESS(status)) {
    // A link of that name that this port did not make belongs to someone else: it stays.
    if (record->ComNameCreated) status = IoDeleteSymbolicLink(&link);
    record->ComNameCreated = 0;
    if (valueName != NULL) RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, DEVICE_MAP_KEY, valueName);
  }
  FreeString(&link);
  FreeString(&number);
  return status;
}

VOID DeletePortDevices(PDRIVER_OBJECT driverObject) {
  // A deferred call running on another processor may re-arm a timer that was just cancelled:
  // quiesce every port, let running calls finish, and quiesce again before deleting anything.
  for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != NULL; device = device->NextDevice) {
    QuiescePort((PortRecord*)device->DeviceExtension);
  }
  KeFlushQueuedDpcs();
  for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != NULL; device = device->NextDevice) {
    QuiescePort((PortRecord*)device->DeviceExtension);
  }
  KeFlushQueuedDpcs();

  while (driverObject->DeviceObject != NULL) {
    PDEVICE_OBJECT device = driverObject->DeviceObject;
    auto record = (PortRecord*)device->DeviceExtension;
    QuiescePort(record);
    SetPortComName(record, FALSE);
    if (record->DeviceName.Buffer != NULL) ExFreePool(record->DeviceName.Buffer);
    record->DeviceName.Buffer = NULL;
    if (record->PortIndex >= 0 && record->PortIndex < MAX_PORTS) {
      PortTable[record->PortIndex].PortRecord = NULL;
    }
    IoDeleteDevice(device);
  }
}
