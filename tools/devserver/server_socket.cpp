// The device server's socket as the wire sees it: each datagram read with the kernel's drop
// count and its destination address, and the capture of what the socket sends and takes. The
// server's thread, its lock held.
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "devserver.h"

namespace devserver {

bool DeviceServer::ReadDatagram(Datagram* datagram, uint32_t* destination) {
  receiveBuffer_.resize(65536);  // once: a fresh buffer on every wake-up cost more than its datagrams
  sockaddr_in from{};
  iovec part{receiveBuffer_.data(), receiveBuffer_.size()};
  std::array<uint8_t, CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(in_pktinfo))> control{};
  msghdr header{};
  header.msg_name = &from;
  header.msg_namelen = sizeof from;
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control.data();
  header.msg_controllen = control.size();
  const ssize_t n = recvmsg(socket_, &header, MSG_DONTWAIT);
  if (n < 0) return false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      uint32_t drops;
      std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
      stats_.kernelDrops += drops - socketDrops_;  // modulo 2^32
      socketDrops_ = drops;
    } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo information;
      std::memcpy(&information, CMSG_DATA(c), sizeof information);
      *destination = ntohl(information.ipi_addr.s_addr);
    }
  }
  datagram->peer = Endpoint::FromSockaddr(from);
  datagram->bytes.assign(receiveBuffer_.begin(), receiveBuffer_.begin() + n);
  return true;
}

void DeviceServer::Capture(const Endpoint& from, const Endpoint& to,
                           std::span<const uint8_t> bytes) {
  if (!capture_.IsOpen()) return;
  // A socket bound to the any-address sends from the address Linux chooses toward the peer.
  const uint32_t source = from.address != 0 ? from.address : host::net::SourceAddressToward(to.address);
  const bool written = capture_.Append(std::chrono::system_clock::now(), {source, from.port},
                                       {to.address, to.port}, bytes);
  stats_.captured = capture_.Written();
  stats_.captureRefused = capture_.Refused();
  if (!written && capture_.FirstRefused()) Note(capture_.LimitNote());
}

}  // namespace devserver
