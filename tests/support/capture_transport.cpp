#include "support/capture_transport.h"

#include "host/io/io_manager.h"
#include "link/udp_endpoint.h"

namespace testsupport {

static CaptureTransport* current = nullptr;

CaptureTransport::CaptureTransport() {
  current = this;
  driver_ = host::io::CreateHostDriver(u"\\Driver\\CaptureUdp");
  driver_->MajorFunction[IRP_MJ_CREATE] = Dispatch;
  driver_->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
  driver_->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kDeviceName);
  IoCreateDevice(driver_, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &device_);
  previousDevice_ = LinkTransportDevice;
  LinkTransportDevice = kDeviceName;
}

CaptureTransport::~CaptureTransport() {
  LinkTransportDevice = previousDevice_;
  IoDeleteDevice(device_);
  host::io::DeleteHostDriver(driver_);
  current = nullptr;
}

NTSTATUS NTAPI CaptureTransport::Dispatch(PDEVICE_OBJECT, PIRP irp) { return current->Handle(irp); }

static std::vector<uint8_t> AddressBytes(PTDI_CONNECTION_INFORMATION information) {
  auto bytes = static_cast<const uint8_t*>(information->RemoteAddress);
  return std::vector<uint8_t>(bytes, bytes + information->RemoteAddressLength);
}

NTSTATUS CaptureTransport::Handle(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  if (location->MajorFunction == IRP_MJ_CREATE) {
    std::lock_guard guard(lock_);
    opens_++;
  } else if (location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    CapturedRequest request;
    request.major = location->MajorFunction;
    request.minor = location->MinorFunction;
    request.fileObject = location->FileObject;
    auto* buffer = static_cast<uint8_t*>(host::io::MdlBuffer(irp->MdlAddress));
    std::lock_guard guard(lock_);
    if (location->MinorFunction == TDI_SEND_DATAGRAM) {
      auto* parameters = reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&location->Parameters);
      request.length = parameters->SendLength;
      request.remote = AddressBytes(parameters->SendDatagramInformation);
      request.data.assign(buffer, buffer + parameters->SendLength);
      sent_.push_back(request);
      status = sendStatus_;
      if (NT_SUCCESS(status)) irp->IoStatus.Information = parameters->SendLength;
    } else if (location->MinorFunction == TDI_RECEIVE_DATAGRAM) {
      auto* parameters = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&location->Parameters);
      request.length = parameters->ReceiveLength;
      request.receiveFlags = parameters->ReceiveFlags;
      request.remote = AddressBytes(parameters->ReceiveDatagramInformation);
      receives_.push_back(request);
      if (datagrams_.empty()) {
        status = STATUS_CONNECTION_RESET;
      } else {
        QueuedDatagram datagram = datagrams_.front();
        datagrams_.pop_front();
        ULONG count = std::min<ULONG>(parameters->ReceiveLength, datagram.bytes.size());
        std::copy(datagram.bytes.begin(), datagram.bytes.begin() + count, buffer);
        auto* answer = static_cast<PTA_IP_ADDRESS>(parameters->ReturnDatagramInformation->RemoteAddress);
        answer->Address[0].Address[0].in_addr = NetworkLong(datagram.source);
        answer->Address[0].Address[0].sin_port = NetworkShort(LINK_PORT);
        irp->IoStatus.Information = count;
        // As the transport does: a datagram longer than the receive is cut and reported.
        if (count < datagram.bytes.size()) status = STATUS_BUFFER_OVERFLOW;
      }
    } else {
      status = STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  const bool sent = location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
                    location->MinorFunction == TDI_SEND_DATAGRAM;
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  if (sent && afterSend_) afterSend_();
  return status;
}

void CaptureTransport::AfterEachSend(std::function<void()> hook) { afterSend_ = std::move(hook); }

std::vector<CapturedRequest> CaptureTransport::Sent() {
  std::lock_guard guard(lock_);
  return sent_;
}

std::vector<CapturedRequest> CaptureTransport::Receives() {
  std::lock_guard guard(lock_);
  return receives_;
}

void CaptureTransport::ClearSent() {
  std::lock_guard guard(lock_);
  sent_.clear();
}

int CaptureTransport::Opens() {
  std::lock_guard guard(lock_);
  return opens_;
}

void CaptureTransport::QueueDatagram(uint32_t source, std::vector<uint8_t> bytes) {
  std::lock_guard guard(lock_);
  datagrams_.push_back({source, std::move(bytes)});
}

void CaptureTransport::FailSends(NTSTATUS status) {
  std::lock_guard guard(lock_);
  sendStatus_ = status;
}

uint32_t CapturedAddress(const CapturedRequest& request) {
  const auto& r = request.remote;
  return (uint32_t(r[10]) << 24) | (uint32_t(r[11]) << 16) | (uint32_t(r[12]) << 8) | r[13];
}

uint16_t CapturedPort(const CapturedRequest& request) {
  return static_cast<uint16_t>((request.remote[8] << 8) | request.remote[9]);
}

}  // namespace testsupport
