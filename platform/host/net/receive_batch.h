// Private to platform/host/net.
// A batch of datagrams read from one socket in one call (recvmmsg), each with its source, its
// destination and the drop count Linux reports with it. The receiving thread's own; one
// allocation for its life.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace host::net::detail {

class ReceiveBatch {
 public:
  static constexpr size_t kDatagrams = 32;
  static constexpr size_t kLargestDatagram = 65536;  // whole, so that truncation is the receive's

  ReceiveBatch();
  ReceiveBatch(const ReceiveBatch&) = delete;
  ReceiveBatch& operator=(const ReceiveBatch&) = delete;

  // Reads what the socket holds, up to kDatagrams, without waiting; the count read.
  size_t Read(int fd);
  std::span<const uint8_t> Bytes(size_t i) const;
  const sockaddr_in& Source(size_t i) const { return sources_[i]; }
  // The count of datagrams the kernel dropped on the socket so far (SO_RXQ_OVFL), when Linux
  // sent it with datagram i (it does once there was a drop).
  std::optional<uint32_t> KernelDrops(size_t i) const;
  // The address (host order) datagram i was sent to (IP_PKTINFO), when Linux said.
  std::optional<uint32_t> Destination(size_t i) const;

 private:
  using Control = std::array<uint8_t, CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(in_pktinfo))>;
  std::unique_ptr<uint8_t[]> buffers_;  // pages touched only as datagrams fill them
  std::array<iovec, kDatagrams> parts_{};
  std::array<sockaddr_in, kDatagrams> sources_{};
  std::array<Control, kDatagrams> controls_{};
  std::array<mmsghdr, kDatagrams> messages_{};
};

}  // namespace host::net::detail
