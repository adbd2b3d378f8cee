// Datagram requests on the transport: TDI_SEND_DATAGRAM and TDI_RECEIVE_DATAGRAM built by hand
// on internal device-control requests, and the synchronous call that waits for them.
// PASSIVE_LEVEL only.
#include "link/udp_endpoint.h"

VOID BuildDatagramInformation(PUCHAR record, USHORT port, ULONG address) {
  auto* information = (PTDI_CONNECTION_INFORMATION)record;
  auto* remote = (PTA_IP_ADDRESS)(record + sizeof(TDI_CONNECTION_INFORMATION));
  information->UserDataLength = 0;
  information->UserData = NULL;
  information->OptionsLength = 0;
  information->Options = NULL;
  information->RemoteAddressLength = sizeof(TA_IP_ADDRESS);
  information->RemoteAddress = remote;
  remote->TAAddressCount = 1;
  remote->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
  remote->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
  remote->Address[0].Address[0].sin_port = NetworkShort(port);
  remote->Address[0].Address[0].in_addr = NetworkLong(address);
}

// A request that the transport completes before returning gives its final status as the
// return value; the status block and the event are served only for a request that went
// pending or succeeded (an error completed at once writes neither), so the block is read only
// after the wait. The wait is not alertable: nothing but the completion may end it while the
// request still points at the event and the status block on this stack.
NTSTATUS CallTransport(PIRP irp, PDEVICE_OBJECT device, PIO_STATUS_BLOCK statusBlock) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KEVENT done;
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  irp->UserEvent = &done;
  irp->UserIosb = statusBlock;
  NTSTATUS status = IofCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = statusBlock->Status;
  }
  return status;
}

// Completion routine of every transport request: takes back the MDL before the I/O manager
// releases the request. The MDL describes non-paged pool (MmBuildMdlForNonPagedPool), whose
// pages were never locked: the I/O manager, which unlocks the pages of every MDL a request
// carries, must not see it. IRQL <= DISPATCH_LEVEL.
static NTSTATUS NTAPI ReleaseTransportMdl(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeMdl(irp->MdlAddress);
  irp->MdlAddress = NULL;
  return STATUS_SUCCESS;
}

// Builds an internal device-control request for the transport with the caller's buffer, which
// lies in one non-paged pool block, described by an MDL: resident memory that describing
// cannot fault (the driver has no exception handler for a failed MmProbeAndLockPages). Returns
// null with *status set when it cannot.
static PIRP BuildTransportRequest(PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  NTSTATUS* status) {
  PIRP irp = IoBuildDeviceIoControlRequest(3, device, NULL, 0, NULL, 0, TRUE, NULL, NULL);
  if (irp == NULL) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return NULL;
  }
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, NULL);
  if (mdl == NULL) {
    IoFreeIrp(irp);
    *status = STATUS_INVALID_PARAMETER;
    return NULL;
  }
  MmBuildMdlForNonPagedPool(mdl);
  irp->MdlAddress = mdl;
  return irp;
}

static VOID FillTransportLocation(PIRP irp, UCHAR minor, PDEVICE_OBJECT device,
                                  PFILE_OBJECT addressObject) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = minor;
  next->Flags = 0;
  next->DeviceObject = device;
  next->FileObject = addressObject;
  IoSetCompletionRoutine(irp, ReleaseTransportMdl, NULL, TRUE, TRUE, TRUE);
}

NTSTATUS SendDatagram(PFILE_OBJECT addressObject, USHORT remotePort, ULONG remoteAddress,
                      PVOID buffer, ULONG length) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  if (addressObject == NULL) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(addressObject);

  auto record = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, DATAGRAM_INFORMATION_SIZE, POOL_TAG);
  if (record == NULL) return STATUS_INVALID_PARAMETER;
  RtlZeroMemory(record, DATAGRAM_INFORMATION_SIZE);
  BuildDatagramInformation(record, remotePort, remoteAddress);

  NTSTATUS status;
  PIRP irp = BuildTransportRequest(device, buffer, length, &status);
  if (irp != NULL) {
    FillTransportLocation(irp, TDI_SEND_DATAGRAM, device, addressObject);
    auto parameters = (PTDI_REQUEST_KERNEL_SENDDG)&IoGetNextIrpStackLocation(irp)->Parameters;
    parameters->SendLength = length;
    parameters->SendDatagramInformation = (PTDI_CONNECTION_INFORMATION)record;
    IO_STATUS_BLOCK statusBlock;
    status = CallTransport(irp, device, &statusBlock);
  }
  ExFreePool(record);
  return status;
}

NTSTATUS ReceiveDatagram(PFILE_OBJECT addressObject, USHORT remotePort, PULONG sourceAddress,
                         PVOID buffer, PULONG length, ULONG remoteAddressFilter) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  if (addressObject == NULL) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(addressObject);
  ULONG capacity = *length;

  auto records = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 2 * DATAGRAM_INFORMATION_STRIDE, POOL_TAG);
  auto staging = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, capacity, POOL_TAG);
  if (records == NULL || staging == NULL) {
    if (records != NULL) ExFreePool(records);
    if (staging != NULL) ExFreePool(staging);
    return STATUS_INVALID_PARAMETER;
  }
  RtlZeroMemory(records, 2 * DATAGRAM_INFORMATION_STRIDE);
  PUCHAR filter = records;
  PUCHAR answer = records + DATAGRAM_INFORMATION_STRIDE;
  BuildDatagramInformation(filter, remotePort, remoteAddressFilter);
  BuildDatagramInformation(answer, remotePort, 0);

  NTSTATUS status;
  PIRP irp = BuildTransportRequest(device, staging, capacity, &status);
  if (irp != NULL) {
    FillTransportLocation(irp, TDI_RECEIVE_DATAGRAM, device, addressObject);
    auto parameters = (PTDI_REQUEST_KERNEL_RECEIVEDG)&IoGetNextIrpStackLocation(irp)->Parameters;
    parameters->ReceiveLength = capacity;
    parameters->ReceiveDatagramInformation = (PTDI_CONNECTION_INFORMATION)filter;
    parameters->ReturnDatagramInformation = (PTDI_CONNECTION_INFORMATION)answer;
    parameters->ReceiveFlags = TDI_RECEIVE_NORMAL;
    IO_STATUS_BLOCK statusBlock;
    status = CallTransport(irp, device, &statusBlock);
    if (NT_SUCCESS(status)) {
      ULONG received = (ULONG)statusBlock.Information;
      if (received > capacity) received = capacity;
      RtlCopyMemory(buffer, staging, received);
      *length = received;
      auto source = (PTA_IP_ADDRESS)(answer + sizeof(TDI_CONNECTION_INFORMATION));
      *sourceAddress = NetworkLong(source->Address[0].Address[0].in_addr);
    }
  }
  ExFreePool(records);
  ExFreePool(staging);
  return status;
}
