#include "support/live_link.h"

#include "port/byte_ring.h"
#include "support/executive_session.h"

namespace testsupport {

LiveLink::LiveLink(int ports) : ports_(std::make_unique<DriverPorts>(ports, 3, Driver())) {
  ports_->AttachLinkBuffers();
  Driver().Unloading = 0;
}

LiveLink::~LiveLink() {
  Stop();
  ports_.reset();
}

devserver::DeviceServer& LiveLink::AddServer(devserver::ProtocolOptions protocol) {
  return session_.AddServer({.protocol = protocol});
}

void LiveLink::Bind(int port, const devserver::DeviceServer& server, int channel) {
  Driver().PortTable[port].RemoteAddress = server.Local().address;
  Driver().PortTable[port].RemoteChannel = channel;
}

void LiveLink::Start() {
  Driver().StartLink();
  started_ = true;
}

void LiveLink::Stop() {
  if (!started_) return;
  WriteShared(Driver().Unloading, 1);
  Driver().StopLink();
  WriteShared(Driver().Unloading, 0);
  started_ = false;
}

bool LiveLink::Open(int port, double seconds) {
  Driver().PortTable[port].OutSeq = 1;
  Driver().PortTable[port].InSeq = 1;
  UCHAR settings[18] = {};
  settings[4] = 0xBF;
  settings[5] = 0x0C;
  settings[7] = 0x80;
  settings[13] = 1;
  Driver().QueueLinkPacket(PKT_OPEN, settings, sizeof settings, port);
  PortRecord* record = ports_->Record(port);
  bool open = WaitUntil([&] { return (ReadShared(record->LinkFlags) & LINK_OPEN) != 0; },
                        std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
  if (open) {
    KIRQL old = KfAcquireSpinLock(&record->PortLock);
    WriteShared(record->LinkFlags, ReadShared(record->LinkFlags) | LINK_PORT_HELD);
    KfReleaseSpinLock(&record->PortLock, old);
  }
  return open;
}

std::vector<UCHAR> LiveLink::RxBytes(int port) const {
  // Read under the port's lock, as the read path does.
  PortRecord* record = ports_->Record(port);
  const ByteRing& ring = Driver().PortTable[port].RxRing;
  KIRQL old = KfAcquireSpinLock(&record->PortLock);
  std::vector<UCHAR> bytes(RingHeld(&ring, RX_RING_SIZE));
  Driver().CopyOutOfRing(&ring, RX_RING_SIZE, bytes.data(), static_cast<LONG>(bytes.size()));
  KfReleaseSpinLock(&record->PortLock, old);
  return bytes;
}

}  // namespace testsupport
