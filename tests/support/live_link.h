// Test support: the link engine of the driver under test (compiled in, or the kernel image)
// running for real in live mode over the host's UDP transport on loopback, with ports whose
// rings are attached as an open attaches them, and device server emulators on addresses of the
// test's own (those of a live driver session that loads nothing). Stops the link as unload
// does.
#pragma once

#include <memory>
#include <vector>

#include "devserver.h"
#include "support/driver_ports.h"
#include "support/driver_session.h"

namespace testsupport {

class LiveLink {
 public:
  // `ports` ports, all unbound (address 0) until Bind is called; StartLink runs in Start.
  explicit LiveLink(int ports);
  ~LiveLink();

  // A device server emulator on a fresh loopback address of its own.
  devserver::DeviceServer& AddServer(devserver::ProtocolOptions protocol = {});
  void Bind(int port, const devserver::DeviceServer& server, int channel);
  void Start();
  void Stop();

  DriverPorts& Ports() { return *ports_; }
  // The driver whose link runs: its globals and routines.
  const tessacom::DriverBinding& Driver() const { return session_.Driver(); }
  // The open handshake as the open handler drives it: sequences to 1, PKT_OPEN with a
  // settings block, then waits for the remote's reply to set link open.
  bool Open(int port, double seconds = 5.0);
  std::vector<UCHAR> RxBytes(int port) const;

 private:
  DriverSession session_{true};  // outlives the ports
  std::unique_ptr<DriverPorts> ports_;
  bool started_ = false;
};

}  // namespace testsupport
