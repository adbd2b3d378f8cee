// Test support: the link engine's shared state over a recording transport, in manual mode:
// ports with attached rings, held with their links open, the outbound scratch, and the
// endpoint opened on the recorder.
#pragma once

#include <memory>
#include <vector>

#include "link/link_threads.h"
#include "link/tx_ring.h"
#include "link/udp_endpoint.h"
#include "support/capture_transport.h"
#include "support/driver_ports.h"

namespace testsupport {

class LinkFixture {
 public:
  explicit LinkFixture(int ports);
  ~LinkFixture();

  DriverPorts& Ports() { return *ports_; }
  CaptureTransport& Transport() { return *transport_; }
  // Places bytes in a port's transmit ring as a writer would, under its lock.
  void Place(int port, const std::vector<UCHAR>& bytes);
  // Marks the port as owed a data packet, as a writer's QueueLinkPacket does on an open link
  // (also on a port that has closed since).
  void MarkData(int port) { PortTable[port].TxPending = 1; }

 private:
  std::unique_ptr<DriverPorts> ports_;
  std::unique_ptr<CaptureTransport> transport_;
};

}  // namespace testsupport
