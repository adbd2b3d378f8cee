#include "support/link_fixture.h"

namespace testsupport {

LinkFixture::LinkFixture(int ports)
    : ports_(std::make_unique<DriverPorts>(ports)),
      transport_(std::make_unique<CaptureTransport>()),
      txStorage_(ports * TX_RING_SIZE),
      rxStorage_(ports * RX_RING_SIZE) {
  OutboundScratch = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, OUTBOUND_SCRATCH_SIZE, POOL_TAG));
  for (int i = 0; i < ports; i++) {
    PortTable[i].TxRing.Buffer = txStorage_.data() + i * TX_RING_SIZE;
    PortTable[i].RxRing.Buffer = rxStorage_.data() + i * RX_RING_SIZE;
    PortTable[i].RemoteAddress = 0x7F000001;
    PortTable[i].RemoteChannel = 10 + i;
  }
  Unloading = 0;
  InitializeUdpEndpoint();
  OpenUdpEndpoint();
}

LinkFixture::~LinkFixture() {
  ShutdownUdpEndpoint();
  ReleaseUdpEndpoint();
  ExFreePool(OutboundScratch);
  OutboundScratch = nullptr;
  for (int i = 0; i < MAX_PORTS; i++) {
    PortTable[i].TxRing = {};
    PortTable[i].RxRing = {};
    PortTable[i].TxHeld = 0;
  }
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
