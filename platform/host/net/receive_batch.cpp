// Reading a batch of datagrams from one of the transport's sockets. The receiving thread's.
#include "host/net/receive_batch.h"

#include <cstring>

namespace host::net::detail {

ReceiveBatch::ReceiveBatch()
    : buffers_(std::make_unique_for_overwrite<uint8_t[]>(kDatagrams * kLargestDatagram)) {}

size_t ReceiveBatch::Read(int fd) {
  for (size_t i = 0; i < kDatagrams; i++) {
    parts_[i] = iovec{buffers_.get() + i * kLargestDatagram, kLargestDatagram};
    msghdr& header = messages_[i].msg_hdr;
    header = msghdr{};
    header.msg_name = &sources_[i];
    header.msg_namelen = sizeof sources_[i];
    header.msg_iov = &parts_[i];
    header.msg_iovlen = 1;
    header.msg_control = controls_[i].data();
    header.msg_controllen = controls_[i].size();
  }
  const int count = recvmmsg(fd, messages_.data(), kDatagrams, MSG_DONTWAIT, nullptr);
  return count < 0 ? 0 : static_cast<size_t>(count);
}

std::span<const uint8_t> ReceiveBatch::Bytes(size_t i) const {
  return {buffers_.get() + i * kLargestDatagram, messages_[i].msg_len};
}

std::optional<uint32_t> ReceiveBatch::Destination(size_t i) const {
  msghdr header = messages_[i].msg_hdr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo information;
      std::memcpy(&information, CMSG_DATA(c), sizeof information);
      return ntohl(information.ipi_addr.s_addr);
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> ReceiveBatch::KernelDrops(size_t i) const {
  msghdr header = messages_[i].msg_hdr;  // the macros take a non-const record
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      uint32_t drops;
      std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
      return drops;
    }
  }
  return std::nullopt;
}

}  // namespace host::net::detail
