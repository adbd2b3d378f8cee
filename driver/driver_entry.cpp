// Load: read the global configuration, create the port devices, allocate the shared buffers,
// read each port's binding, start the link engine and install the handlers. PASSIVE_LEVEL, in
// a system thread, before any request can reach the driver. The one place where the layers are
// put together: the serial layer's deferred routines go to device creation here, and its
// request handlers to the driver object.
#include "port/configuration.h"
#include "driver/driver_entry.h"
#include "port/pool_blocks.h"
#include "driver/port_devices.h"
#include "link/link_threads.h"
#include "serial/serial_requests.h"

#define SERVICES_PATH TXT("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services")

namespace {

BOOLEAN BuildConfigPath() {
  if (!AllocateString(&ConfigPath, PagedPool, CONFIG_PATH_CAPACITY + sizeof(WCHAR))) return FALSE;
  RtlAppendUnicodeToString(&ConfigPath, SERVICES_PATH);
  return TRUE;
}

BOOLEAN AllocateSharedBuffers() {
  InboundScratch = (PUCHAR)AllocateZeroed(NonPagedPool, INBOUND_SCRATCH_SIZE);
  TxRingStorage = InboundScratch ? (PUCHAR)AllocateZeroed(NonPagedPool, TX_RING_STORAGE_SIZE) : NULL;
  RxRingStorage = TxRingStorage ? (PUCHAR)AllocateZeroed(NonPagedPool, RX_RING_STORAGE_SIZE) : NULL;
  OutboundScratch = RxRingStorage ? (PUCHAR)AllocateZeroed(NonPagedPool, OUTBOUND_SCRATCH_SIZE) : NULL;
  return (BOOLEAN)(OutboundScratch != NULL);
}

}  // namespace

VOID ReleaseDriverMemory() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  for (int i = 0; i < MAX_PORTS; i++) DiscardControlQueue(i);
  FreeBlock((PVOID*)&InboundScratch);
  FreeBlock((PVOID*)&TxRingStorage);
  FreeBlock((PVOID*)&RxRingStorage);
  FreeBlock((PVOID*)&OutboundScratch);
  FreeString(&ConfigPath);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  (VOID) registryPath;  // the configuration lives under a fixed key
  Unloading = 0;
  MaxPort = 0;
  if (!BuildConfigPath()) return STATUS_INSUFFICIENT_RESOURCES;

  // A configuration key that cannot be read leaves the defaults.
  StartPort = 3;
  LONG ports = 3;
  if (ReadConfigurationValue(TXT("StartPort"), &StartPort) == STATUS_INSUFFICIENT_RESOURCES ||
      ReadConfigurationValue(TXT("MaxPort"), &ports) == STATUS_INSUFFICIENT_RESOURCES) {
    ReleaseDriverMemory();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The port table holds 256 entries; no more ports than that exist.
  MaxPort = ports > MAX_PORTS ? MAX_PORTS : (ports < 0 ? 0 : ports);

  if (MaxPort >= 1) CreatePortDevices(driverObject, &PortDeferredRoutineTable);

  NTSTATUS status = STATUS_SUCCESS;
  if (!AllocateSharedBuffers()) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) status = ReadPortConfiguration();
  if (NT_SUCCESS(status) && driverObject->DeviceObject == NULL) {
    status = STATUS_SERIAL_NO_DEVICE_INITED;
  }
  if (!NT_SUCCESS(status)) {
    // Nothing of a failed load stays behind: no device, name, buffer, thread or endpoint.
    DeletePortDevices(driverObject);
    ReleaseDriverMemory();
    MaxPort = 0;
    return status;
  }

  StartLink();
  driverObject->DriverUnload = UnloadDriver;
  for (ULONG i = 0; i < SerialHandlerCount; i++) {
    driverObject->MajorFunction[SerialHandlerTable[i].MajorFunction] = SerialHandlerTable[i].Handler;
  }
  return STATUS_SUCCESS;
}
