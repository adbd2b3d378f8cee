// A plain POSIX UDP socket on a loopback address, standing at the other end of what a test
// exercises (the device server emulator, the host's UDP transport).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace testsupport {

struct Received {
  std::vector<uint8_t> bytes;
  uint32_t address = 0;  // source, host order
  uint16_t port = 0;
};

class UdpPeer {
 public:
  // Binds (address, port); check Bound() (port 0: any free port).
  UdpPeer(uint32_t address, uint16_t port);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool Bound() const { return fd_ >= 0; }
  uint32_t Address() const { return address_; }
  uint16_t Port() const { return port_; }

  // Sends one datagram; false if the socket refused it. Only loopback destinations.
  bool SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes);
  // The next datagram, or nothing when none came within `limit` (real time).
  std::optional<Received> Receive(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
  uint32_t address_;
  uint16_t port_;
};

}  // namespace testsupport
