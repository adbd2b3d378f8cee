// TDI_SEND_DATAGRAM and TDI_RECEIVE_DATAGRAM: decoding the request parameters, the bytes in
// the request's MDL chain, completing receives with a datagram, and their cancel routine.
// PASSIVE_LEVEL, apart from the cancel routine (entered at DISPATCH_LEVEL with the cancel
// lock held, which it releases first).
#include <cstring>
#include <vector>

#include "host/io/io_manager.h"
#include "host/net/dispatch.h"
#include "kernel.h"

namespace host::net::detail {

namespace {

ULONG ChainLength(PMDL mdl) {
  ULONG total = 0;
  for (; mdl != nullptr; mdl = mdl->Next) total += mdl->ByteCount;
  return total;
}

void CopyFromChain(PMDL mdl, uint8_t* to, size_t count) {
  for (; mdl != nullptr && count > 0; mdl = mdl->Next) {
    const size_t part = std::min<size_t>(count, mdl->ByteCount);
    std::memcpy(to, host::io::MdlBuffer(mdl), part);
    to += part;
    count -= part;
  }
}

void CopyToChain(PMDL mdl, const uint8_t* from, size_t count) {
  for (; mdl != nullptr && count > 0; mdl = mdl->Next) {
    const size_t part = std::min<size_t>(count, mdl->ByteCount);
    std::memcpy(host::io::MdlBuffer(mdl), from, part);
    from += part;
    count -= part;
  }
}

// Cancel routine of a pending receive.
VOID NTAPI CancelReceive(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (!TakeCancelledReceive(irp)) return;  // not queued here: nothing of ours to end
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

// Sends SendLength bytes of the MDL chain to the remote address of SendDatagramInformation.
// Completes at once: STATUS_SUCCESS with Information = the bytes sent, or the error.
NTSTATUS SendDatagram(PIRP irp, PIO_STACK_LOCATION stack, AddressObject* object) {
  TDI_REQUEST_KERNEL_SENDDG parameters;
  std::memcpy(&parameters, &stack->Parameters, sizeof parameters);
  IpEndpoint to;
  if (!ReadRemoteAddress(parameters.SendDatagramInformation, &to)) {
    return CompleteNow(irp, STATUS_INVALID_ADDRESS, 0);
  }
  if (ChainLength(irp->MdlAddress) < parameters.SendLength) {
    return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
  }
  std::vector<uint8_t> bytes(parameters.SendLength);
  CopyFromChain(irp->MdlAddress, bytes.data(), bytes.size());
  const NTSTATUS status = Send(object, to, bytes.data(), bytes.size());
  return CompleteNow(irp, status, NT_SUCCESS(status) ? bytes.size() : 0);
}

// Takes a datagram from the filter's address and port: one held for a matching source at once,
// or later from the transport's thread (STATUS_PENDING).
NTSTATUS ReceiveDatagram(PIRP irp, PIO_STACK_LOCATION stack, AddressObject* object) {
  TDI_REQUEST_KERNEL_RECEIVEDG parameters;
  std::memcpy(&parameters, &stack->Parameters, sizeof parameters);
  ReceiveRequest request;
  request.irp = irp;
  request.returnInformation = parameters.ReturnDatagramInformation;
  ReadRemoteAddress(parameters.ReceiveDatagramInformation, &request.filter);  // none: any
  request.capacity = std::min(parameters.ReceiveLength, ChainLength(irp->MdlAddress));
  if (parameters.ReceiveLength > 0 && irp->MdlAddress == nullptr) {
    return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
  }
  Datagram taken;
  switch (Receive(object, request, &taken, CancelReceive)) {
    case ReceiveOutcome::Taken:
      return CompleteReceive(request, taken);
    case ReceiveOutcome::Pending:
      return STATUS_PENDING;
    case ReceiveOutcome::Cancelled:
      irp->IoStatus.Status = STATUS_CANCELLED;
      irp->IoStatus.Information = 0;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;  // it was marked pending
    case ReceiveOutcome::Closed:
      break;
  }
  return CompleteNow(irp, STATUS_LOCAL_DISCONNECT, 0);
}

// A datagram longer than the receive completes it with STATUS_BUFFER_OVERFLOW and the bytes
// that fit, as a datagram socket truncates.
NTSTATUS CompleteReceive(const ReceiveRequest& request, const Datagram& datagram) {
  const size_t count = std::min<size_t>(datagram.bytes.size(), request.capacity);
  CopyToChain(request.irp->MdlAddress, datagram.bytes.data(), count);
  WriteRemoteAddress(request.returnInformation, datagram.source);
  const bool truncated = datagram.bytes.size() > request.capacity;
  const NTSTATUS status = truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  CountCompletion(truncated);
  ReportDelivered(datagram);
  request.irp->IoStatus.Status = status;
  request.irp->IoStatus.Information = count;
  IofCompleteRequest(request.irp, IO_NETWORK_INCREMENT);
  return status;
}

}  // namespace host::net::detail
