// The UDP transport's dispatch routines: opening an address object from its transport-address
// attribute, cleanup and close, and the routing of the internal datagram requests. Called
// through IofCallDriver at the caller's level, which must be below DISPATCH_LEVEL: every
// caller of the transport waits for its requests to complete.
#include "host/net/dispatch.h"

#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::net::detail {

namespace {

const char* RequestName(const IO_STACK_LOCATION* stack) {
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return stack->MinorFunction == TDI_SEND_DATAGRAM      ? "TDI_SEND_DATAGRAM"
             : stack->MinorFunction == TDI_RECEIVE_DATAGRAM ? "TDI_RECEIVE_DATAGRAM"
                                                            : "an internal request";
    default: return "a request";
  }
}

void RefuseRaisedLevel(const IO_STACK_LOCATION* stack) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL) {
    host::verifier::Stop("TRANSPORT_CALL_AT_DISPATCH_LEVEL", "IofCallDriver",
                         "\\Device\\Udp was sent %s at IRQL %u; its caller must be able to wait "
                         "for the request",
                         RequestName(stack), irql);
  }
}

AddressObject* ObjectOf(const IO_STACK_LOCATION* stack) {
  if (stack->FileObject == nullptr || stack->FileObject->FsContext == nullptr) return nullptr;
  void* context = stack->FileObject->FsContext;
  return IsAddressObject(context) ? static_cast<AddressObject*>(context) : nullptr;
}

// Completes what a cleanup left: the object's own receives end, other objects' receives that
// took a datagram it held complete with it.
void FinishCleanup(const Cleanup& cleanup) {
  for (const ReceiveRequest& request : cleanup.ended) {
    request.irp->IoStatus.Status = STATUS_LOCAL_DISCONNECT;
    request.irp->IoStatus.Information = 0;
    IofCompleteRequest(request.irp, IO_NETWORK_INCREMENT);
  }
  for (const auto& [request, datagram] : cleanup.handed) CompleteReceive(request, datagram);
}

}  // namespace

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// IRP_MJ_CREATE: binds an address object to the "TransportAddress" attribute's IP address.
// The object becomes the file object's FsContext. An open without the attribute (a control
// channel) is not offered: STATUS_INVALID_PARAMETER.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RefuseRaisedLevel(stack);
  if (stack->FileObject == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
  const void* value = nullptr;
  size_t valueLength = 0;
  if (!FindTransportAddressAttribute(irp->AssociatedIrp.SystemBuffer,
                                     stack->Parameters.Create.EaLength, &value, &valueLength)) {
    return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
  }
  IpEndpoint local;
  if (!ReadTransportAddress(value, valueLength, &local)) {
    return CompleteNow(irp, STATUS_INVALID_ADDRESS, 0);
  }
  AddressObject* object = nullptr;
  const NTSTATUS status = OpenAddress(local, &object);
  if (NT_SUCCESS(status)) {
    stack->FileObject->FsContext = object;
    stack->FileObject->FsContext2 = nullptr;
  }
  return CompleteNow(irp, status, 0);
}

// IRP_MJ_CLEANUP (the last handle is closed): pending receives end with
// STATUS_LOCAL_DISCONNECT, and so will every later request on the object.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RefuseRaisedLevel(stack);
  if (AddressObject* object = ObjectOf(stack)) FinishCleanup(CleanupAddress(object));
  return CompleteNow(irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_CLOSE (the last reference is gone): frees the address object.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RefuseRaisedLevel(stack);
  if (AddressObject* object = ObjectOf(stack)) {
    FinishCleanup(CleanupAddress(object));  // nothing left when cleanup came first, as it does
    CloseAddress(object);
    stack->FileObject->FsContext = nullptr;
  }
  return CompleteNow(irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_INTERNAL_DEVICE_CONTROL: the datagram requests of the transport interface.
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RefuseRaisedLevel(stack);
  AddressObject* object = ObjectOf(stack);
  if (object == nullptr) return CompleteNow(irp, STATUS_INVALID_HANDLE, 0);
  switch (stack->MinorFunction) {
    case TDI_SEND_DATAGRAM: return SendDatagram(irp, stack, object);
    case TDI_RECEIVE_DATAGRAM: return ReceiveDatagram(irp, stack, object);
    default: return CompleteNow(irp, STATUS_NOT_IMPLEMENTED, 0);
  }
}

}  // namespace host::net::detail
