#include "support/link_fixture.h"

namespace testsupport {

LinkFixture::LinkFixture(int ports)
    : ports_(std::make_unique<DriverPorts>(ports)), transport_(std::make_unique<CaptureTransport>()) {
  ports_->AttachLinkBuffers();
  for (int i = 0; i < ports; i++) {
    PortTable[i].RemoteAddress = 0x7F000001;
    PortTable[i].RemoteChannel = 10 + i;
    ports_->OpenLink(i);
  }
  Unloading = 0;
  InitializeUdpEndpoint();
  OpenUdpEndpoint();
}

LinkFixture::~LinkFixture() {
  ShutdownUdpEndpoint();
  ReleaseUdpEndpoint();
  transport_.reset();
  ports_.reset();
}

void LinkFixture::Place(int port, const std::vector<UCHAR>& bytes) {
  PortRecord* record = ports_->Record(port);
  KIRQL old = KfAcquireSpinLock(&record->PortLock);
  PlaceTxBytes(port, bytes.data(), static_cast<LONG>(bytes.size()));
  KfReleaseSpinLock(&record->PortLock, old);
}

}  // namespace testsupport
