// The POSIX UDP peer of the tests.
#include "support/udp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

namespace {

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(address);
  return in;
}

}  // namespace

UdpPeer::UdpPeer(uint32_t address, uint16_t port) : address_(address), port_(port) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  const sockaddr_in in = SocketAddress(address, port);
  sockaddr_in bound;
  socklen_t length = sizeof bound;
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(bound.sin_port);
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) close(fd_);
}

bool UdpPeer::SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes) {
  if (fd_ < 0 || (address >> 24) != 127) return false;
  const sockaddr_in to = SocketAddress(address, port);
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(bytes.size());
}

std::optional<Received> UdpPeer::Receive(std::chrono::milliseconds limit) {
  if (fd_ < 0) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  Received r;
  r.bytes.resize(65536);
  sockaddr_in from;
  socklen_t length = sizeof from;
  const ssize_t n = recvfrom(fd_, r.bytes.data(), r.bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  r.bytes.resize(static_cast<size_t>(n));
  r.address = ntohl(from.sin_addr.s_addr);
  r.port = ntohs(from.sin_port);
  return r;
}

}  // namespace testsupport
