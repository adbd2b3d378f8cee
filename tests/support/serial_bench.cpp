#include "support/serial_bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "driver/port_devices.h"
#include "host/io/io_manager.h"
#include "host/session/executive.h"
#include "link/link_threads.h"
#include "link/udp_endpoint.h"

namespace testsupport {
namespace {

thread_local const SerialHandler* handlerOfSend = nullptr;

VOID NTAPI CancelPendingRead(PDEVICE_OBJECT device, PIRP irp) {
  CancelCurrentRequest(device, irp, &PendingReadClass);
}

}  // namespace

const RequestClass PendingReadClass = {
    &PortRecord::CurrentReadIrp, &PortRecord::ReadQueue, &PortRecord::ReadIntervalTimer,
    &PortRecord::ReadTotalTimer, StartPendingRead, GetNextRequest, CancelPendingRead,
};

// Like the read path's start routine, each pass holds PortLock and takes the cancel lock
// inside it.
NTSTATUS StartPendingRead(PortRecord* port) {
  NTSTATUS first = STATUS_PENDING;
  bool haveFirst = false;
  for (PIRP irp = port->CurrentReadIrp; irp != nullptr;) {
    KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (!irp->Cancel) {
      if (!haveFirst) IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, PendingReadClass.CancelCurrent);
      IoReleaseCancelSpinLock(irql);
      KfReleaseSpinLock(&port->PortLock, portIrql);
      return first;
    }
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    if (!haveFirst) first = STATUS_CANCELLED;
    haveFirst = true;
    GetNextRequest(port, &PendingReadClass, &irp, TRUE);
    KfReleaseSpinLock(&port->PortLock, portIrql);
  }
  return first;
}

void EndPendingRead(PortRecord* port, NTSTATUS status) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  CompleteWaitingRequest(port, irql, status, &PendingReadClass);
}

SerialHandler ParkAsCurrent(const RequestClass* requestClass, PDRIVER_CANCEL cancel) {
  return [requestClass, cancel](PortRecord* port, PIRP irp) {
    *CurrentSlot(port, requestClass) = irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel);
    return STATUS_PENDING;
  };
}

SerialHandler Through(PDRIVER_DISPATCH dispatch) {
  return [dispatch](PortRecord* port, PIRP irp) { return dispatch(port->DeviceObject, irp); };
}

std::vector<UCHAR> Ascending(size_t count, UCHAR first) {
  std::vector<UCHAR> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

ULONG Request::Mask() const {
  ULONG mask = 0;
  std::memcpy(&mask, buffer.data(), std::min(buffer.size(), sizeof mask));
  return mask;
}

bool Request::UntouchedSinceCompletion() const {
  return done && irp->IoStatus.Information == information && Mask() == maskAtCompletion;
}

SerialBench::SerialBench(const PortDeferredRoutines* routines) {
  driver_ = host::io::CreateHostDriver(u"\\Driver\\SerialBench");
  for (auto& entry : driver_->MajorFunction) entry = Dispatch;
  EXPECT_EQ(IoCreateDevice(driver_, sizeof(PortRecord), nullptr, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                           &device_),
            STATUS_SUCCESS);
  device_->Flags |= DO_BUFFERED_IO;
  port_ = static_cast<PortRecord*>(device_->DeviceExtension);
  KeInitializeEvent(&SendEvent, SynchronizationEvent, FALSE);
  MaxPort = 1;
  InitializePortRecord(port_, 0, routines);
  port_->DeviceObject = device_;
  txRing_.assign(TX_RING_SIZE, 0);
  rxRing_.assign(RX_RING_SIZE, 0);
  PortTable[0].TxRing.Buffer = txRing_.data();
  PortTable[0].RxRing.Buffer = rxRing_.data();
  port_->LinkFlags = LINK_OPEN | LINK_CONFIRMED | LINK_PORT_HELD;
}

SerialBench::~SerialBench() {
  for (const RequestClass* leftOver : {&WriteClass, &ReadClass, &PurgeClass, &MaskClass, &WaitClass}) {
    KillAllRequests(port_, leftOver);
  }
  if (host::session::CurrentMode() == host::session::Mode::Manual) host::session::RunQueuedDpcs();
  KeFlushQueuedDpcs();
  for (auto& request : requests_) {
    EXPECT_EQ(request->timesCompleted.load(), 1) << "every request completes exactly once";
  }
  QuiescePort(port_);
  if (transport_) {
    ShutdownUdpEndpoint();
    ReleaseUdpEndpoint();
    ExFreePool(OutboundScratch);
    OutboundScratch = nullptr;
    transport_.reset();
  }
  DiscardControlQueue(0);
  PortTable[0] = {};
  MaxPort = 0;
  IoDeleteDevice(device_);
  host::io::DeleteHostDriver(driver_);
  for (auto& request : requests_) {
    if (request->done) IoFreeIrp(request->irp);  // one never completed stays with the port
  }
}

Request& SerialBench::Craft(UCHAR major, size_t bufferBytes) {
  auto request = std::make_unique<Request>();
  request->irp = IoAllocateIrp(device_->StackSize, FALSE);
  request->buffer.assign(std::max<size_t>(bufferBytes, 1), 0);
  request->irp->AssociatedIrp.SystemBuffer = request->buffer.data();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp);
  stack->MajorFunction = major;
  IoSetCompletionRoutine(request->irp, RecordCompletion, request.get(), TRUE, TRUE, TRUE);
  request->completions = &completions_;
  std::lock_guard guard(lock_);
  requests_.push_back(std::move(request));
  return *requests_.back();
}

Request& SerialBench::Transfer(UCHAR major, ULONG length) {
  Request& request = Craft(major, length);
  IoGetNextIrpStackLocation(request.irp)->Parameters.Read.Length = length;  // Write.Length alike
  return request;
}

Request& SerialBench::Control(ULONG code, ULONG value, ULONG inputLength, ULONG outputLength) {
  return Control(code, &value, std::min<ULONG>(inputLength, sizeof value), outputLength);
}

Request& SerialBench::Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength) {
  Request& request = Craft(IRP_MJ_DEVICE_CONTROL, std::max(inputLength, outputLength));
  if (inputLength != 0) std::memcpy(request.buffer.data(), input, inputLength);
  auto& parameters = IoGetNextIrpStackLocation(request.irp)->Parameters.DeviceIoControl;
  parameters.IoControlCode = code;
  parameters.InputBufferLength = inputLength;
  parameters.OutputBufferLength = outputLength;
  return request;
}

NTSTATUS SerialBench::Send(Request& request, const SerialHandler& handler) {
  handlerOfSend = &handler;
  request.dispatchStatus = IofCallDriver(device_, request.irp);
  handlerOfSend = nullptr;
  return request.dispatchStatus;
}

Request& SerialBench::Queue(Request& request, const RequestClass* requestClass,
                           SERIAL_START_ROUTINE* start) {
  Send(request, [requestClass, start](PortRecord* port, PIRP irp) {
    irp->IoStatus.Information = 0;
    return StartOrQueue(port, irp, requestClass, start);
  });
  return request;
}

NTSTATUS SerialBench::Answer(Request& request, SERIAL_CONTROL_HANDLER* handler) {
  return Send(request, [handler](PortRecord* port, PIRP irp) {
    irp->IoStatus.Information = 0;
    NTSTATUS status = handler(port, irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
}

std::vector<std::vector<UCHAR>> SerialBench::TakePackets() {
  std::vector<std::vector<UCHAR>> packets;
  for (ControlNode* node = DetachControlQueue(0); node != nullptr;) {
    LinkHeader header = DecodeLinkHeader(node->Header);
    std::vector<UCHAR> packet{header.Type};
    packet.insert(packet.end(), node->Payload, node->Payload + (header.Length - LINK_HEADER_SIZE));
    packets.push_back(packet);
    ControlNode* next = node->Next;
    ExFreePool(node);
    node = next;
  }
  return packets;
}

void DispatchAsReceiver(LONG port, const std::vector<UCHAR>& packet) {
  KIRQL old = KfAcquireSpinLock(&PortTable[port].PortRecord->PortLock);
  DispatchInboundPacket(port, packet.data(), static_cast<ULONG>(packet.size()));
  KfReleaseSpinLock(&PortTable[port].PortRecord->PortLock, old);
}

void SerialBench::Receive(UCHAR type, ULONG sequence, const std::vector<UCHAR>& payload) {
  std::vector<UCHAR> packet(LINK_HEADER_SIZE + payload.size());
  EncodeLinkHeader(packet.data(), type, static_cast<UCHAR>(PortTable[0].RemoteChannel), packet.size(), sequence);
  std::copy(payload.begin(), payload.end(), packet.begin() + LINK_HEADER_SIZE);
  DispatchAsReceiver(0, packet);
}

CaptureTransport& SerialBench::Transport() {
  if (!transport_) {
    transport_ = std::make_unique<CaptureTransport>();
    OutboundScratch = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, OUTBOUND_SCRATCH_SIZE, POOL_TAG));
    PortTable[0].RemoteAddress = 0x7F000001;
    InitializeUdpEndpoint();
    OpenUdpEndpoint();
  }
  return *transport_;
}

std::vector<SerialBench::Sent> SerialBench::SendPass() {
  Transport().ClearSent();
  PFILE_OBJECT failedOn = nullptr;
  ::SendPass(0, &failedOn);
  std::vector<Sent> sent;
  for (const CapturedRequest& datagram : transport_->Sent()) {
    LinkHeader header = DecodeLinkHeader(datagram.data.data());
    sent.push_back({header.Type, header.Sequence,
                    std::vector<UCHAR>(datagram.data.begin() + LINK_HEADER_SIZE, datagram.data.end())});
  }
  return sent;
}

NTSTATUS NTAPI SerialBench::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return (*handlerOfSend)(PortOf(device), irp);
}

NTSTATUS NTAPI SerialBench::RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<Request*>(context);
  if (request->timesCompleted++ == 0) {
    request->status = irp->IoStatus.Status;
    request->information = irp->IoStatus.Information;
    request->boost = host::io::CompletionBoost(irp);
    request->maskAtCompletion = request->Mask();
    request->order = (*request->completions)++;
  }
  request->done.store(true);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace testsupport
