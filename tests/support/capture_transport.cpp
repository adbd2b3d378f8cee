#include "support/capture_transport.h"

#include <algorithm>

#include "host/io/io_manager.h"
#include "link/udp_endpoint.h"

namespace testsupport {

static CaptureTransport* current = nullptr;

CaptureTransport::CaptureTransport() {
  current = this;
  driver_ = host::io::CreateHostDriver(u"\\Driver\\CaptureUdp");
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
    driver_->MajorFunction[major] = Dispatch;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kDeviceName);
  IoCreateDevice(driver_, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &device_);
  previousDevice_ = std::exchange(LinkTransportDevice, kDeviceName);
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
  const bool control = location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
  const bool send = control && location->MinorFunction == TDI_SEND_DATAGRAM;
  NTSTATUS status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  {
    std::lock_guard guard(lock_);
    auto* buffer = control ? static_cast<uint8_t*>(host::io::MdlBuffer(irp->MdlAddress)) : nullptr;
    if (location->MajorFunction == IRP_MJ_CREATE) {
      opens_++;
    } else if (send) {
      auto* parameters = reinterpret_cast<PTDI_REQUEST_KERNEL_SENDDG>(&location->Parameters);
      sent_.push_back({location->MajorFunction, location->MinorFunction, parameters->SendLength, 0,
                       AddressBytes(parameters->SendDatagramInformation),
                       std::vector<uint8_t>(buffer, buffer + parameters->SendLength), location->FileObject});
      status = sendStatus_;
      if (NT_SUCCESS(status)) irp->IoStatus.Information = parameters->SendLength;
    } else if (control) {
      status = location->MinorFunction == TDI_RECEIVE_DATAGRAM ? Receive(irp, location, buffer)
                                                                : STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  if (send && afterSend_) afterSend_();
  return status;
}

NTSTATUS CaptureTransport::Receive(PIRP irp, PIO_STACK_LOCATION location, uint8_t* buffer) {
  auto* parameters = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVEDG>(&location->Parameters);
  receives_.push_back({location->MajorFunction, location->MinorFunction, parameters->ReceiveLength,
                       parameters->ReceiveFlags, AddressBytes(parameters->ReceiveDatagramInformation), {},
                       location->FileObject});
  if (datagrams_.empty()) return STATUS_CONNECTION_RESET;
  auto [source, bytes] = std::move(datagrams_.front());
  datagrams_.pop_front();
  const ULONG count = std::min<ULONG>(parameters->ReceiveLength, bytes.size());
  std::copy(bytes.begin(), bytes.begin() + count, buffer);
  auto* answer = static_cast<PTA_IP_ADDRESS>(parameters->ReturnDatagramInformation->RemoteAddress);
  answer->Address[0].Address[0].in_addr = NetworkLong(source);
  answer->Address[0].Address[0].sin_port = NetworkShort(LINK_PORT);
  irp->IoStatus.Information = count;
  // As the transport does: a datagram longer than the receive is cut and reported.
  return count < bytes.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

uint32_t CapturedAddress(const CapturedRequest& request) {
  const auto& r = request.remote;
  return (uint32_t(r[10]) << 24) | (uint32_t(r[11]) << 16) | (uint32_t(r[12]) << 8) | r[13];
}

uint16_t CapturedPort(const CapturedRequest& request) {
  return static_cast<uint16_t>((request.remote[8] << 8) | request.remote[9]);
}

}  // namespace testsupport
