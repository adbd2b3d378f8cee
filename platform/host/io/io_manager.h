// Control of the host's I/O manager by tests, programs and the host's own drivers: host
// drivers (the UDP transport), failure injection, the buffer behind an MDL, and counts.
#pragma once

#include <cstddef>
#include <string_view>

#include "host/ddk/io.h"

namespace host::io {

// A driver object of the host itself, named like "\Driver\Udp", every MajorFunction entry set
// to DefaultDispatch. The host driver fills in its handlers and creates its devices with
// IoCreateDevice. ZwCreateFile on a device name reaches its IRP_MJ_CREATE handler with the
// extended-attribute buffer in Irp->AssociatedIrp.SystemBuffer and
// Parameters.Create.EaLength set; FsContext/FsContext2 of the file object belong to it.
PDRIVER_OBJECT CreateHostDriver(std::u16string_view name);
// Releases a host driver object; its devices must have been deleted (verifier stop
// DEVICE_ALIVE_AT_UNLOAD otherwise).
void DeleteHostDriver(PDRIVER_OBJECT driver);

// What every request class of a new driver object is handled by: completes the request
// with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

// Failure injection: the nth call from now (1 = the next) fails. IoCreateDevice returns
// STATUS_INSUFFICIENT_RESOURCES; IoAllocateIrp / IoBuildDeviceIoControlRequest and
// IoAllocateMdl return null.
void FailNthDeviceCreation(size_t nth);
void FailNthIrpAllocation(size_t nth);
void FailNthMdlAllocation(size_t nth);
void ClearFailures();

// The buffer an MDL describes. The host maps nothing: MappedSystemVa is the described
// address itself, and StartVa + ByteOffset is the same address.
void* MdlBuffer(PMDL mdl);

// Sets every count of IoGetConfigurationInformation's record back to 0.
void ResetConfiguration();

// The priority boost the request was last completed with (a request of IoAllocateIrp, before
// its owner frees it); -1 when it was never completed.
CCHAR CompletionBoost(PIRP irp);

// Requests and MDLs allocated and not yet released; devices of a driver.
size_t OutstandingIrps();
size_t OutstandingMdls();
size_t DeviceCount(PDRIVER_OBJECT driver);

}  // namespace host::io
