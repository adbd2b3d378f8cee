// The POSIX UDP peer of the tests.
#include "support/udp_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "endpoint.h"

namespace testsupport {

UdpPeer::UdpPeer(uint32_t address, uint16_t port) : address_(address), port_(port) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in in = devserver::Endpoint{address, port}.ToSockaddr();
  socklen_t length = sizeof in;
  if (fd_ >= 0 && (bind(fd_, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 ||
                   getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &length) != 0)) {
    close(fd_);
    fd_ = -1;
  }
  if (fd_ >= 0) port_ = devserver::Endpoint::FromSockaddr(in).port;
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) close(fd_);
}

bool UdpPeer::SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes) {
  if (fd_ < 0 || (address >> 24) != 127) return false;
  const sockaddr_in to = devserver::Endpoint{address, port}.ToSockaddr();
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(bytes.size());
}

std::optional<Received> UdpPeer::Receive(std::chrono::milliseconds limit) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  std::vector<uint8_t> bytes(65536);
  sockaddr_in from;
  socklen_t length = sizeof from;
  const ssize_t n = recvfrom(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(n));
  const devserver::Endpoint source = devserver::Endpoint::FromSockaddr(from);
  return Received{std::move(bytes), source.address, source.port};
}

}  // namespace testsupport
