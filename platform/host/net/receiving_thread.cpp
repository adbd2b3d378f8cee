// The UDP transport's receiving thread: it waits on every bound socket, hands each datagram
// to exactly one address object (a pending receive whose filter matches, newest address
// object first, else the newest object's backlog) and completes the receive that took it.
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "host/net/udp_core.h"
#include "kernel.h"

namespace host::udp::detail {

void WakeReceiver(Core& core) {
  if (core.wake < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(core.wake, &one, sizeof one);
}

namespace {

// Hands one datagram to one address object of the socket; returns the receive to complete,
// if a pending one took it. Lock held.
std::optional<ReceiveRequest> Deliver(Core& core, BoundSocket& socket, Datagram& datagram) {
  std::optional<ReceiveRequest> taken = TakeMatchingReceive(core, socket, datagram.source);
  if (taken || socket.objects.empty()) return taken;  // nobody bound any more: dropped
  std::deque<Datagram>& backlog = socket.objects.back()->backlog;
  backlog.push_back(std::move(datagram));
  TrimBacklog(core, backlog);
  return std::nullopt;
}

// One datagram from the socket, without waiting: its length, or -1 when none is there. Notes
// in the socket's record the drop count Linux reports with it (SO_RXQ_OVFL: every datagram
// the kernel dropped on the socket so far, sent only once there was one).
ssize_t TakeFromSocket(BoundSocket& socket, std::vector<uint8_t>& buffer, sockaddr_in* from,
                       uint32_t* kernelDrops) {
  iovec part{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
  msghdr message{};
  message.msg_name = from;
  message.msg_namelen = sizeof *from;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(socket.fd, &message, MSG_DONTWAIT);
  if (n < 0) return n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(kernelDrops, CMSG_DATA(c), sizeof *kernelDrops);
    }
  }
  return n;
}

void ReadSocket(Core& core, const std::shared_ptr<BoundSocket>& socket,
                std::vector<uint8_t>& buffer) {
  for (;;) {
    sockaddr_in from;
    uint32_t kernelDrops = socket->kernelDrops;
    const ssize_t n = TakeFromSocket(*socket, buffer, &from, &kernelDrops);
    if (n < 0) return;
    std::optional<ReceiveRequest> done;
    Datagram datagram;
    {
      std::lock_guard hold(core.lock);
      core.counts.kernelDropped += kernelDrops - socket->kernelDrops;  // modulo 2^32
      socket->kernelDrops = kernelDrops;
      datagram.source = IpEndpoint{ntohl(from.sin_addr.s_addr),
                                   FromWirePort(core, ntohs(from.sin_port))};
      datagram.bytes.assign(buffer.begin(), buffer.begin() + n);
      ++core.counts.datagramsReceived;
      done = Deliver(core, *socket, datagram);
    }
    if (done) CompleteReceive(*done, datagram);
    core.changed.notify_all();
  }
}

// The receiving thread: waits on every bound socket and on its wake-up descriptor; sockets
// left without address objects are closed here, where nothing polls them any more.
void ReceiverLoop() {
  Core& core = TheCore();
  std::vector<uint8_t> buffer(65536);
  std::vector<std::shared_ptr<BoundSocket>> polled;
  std::vector<pollfd> fds;
  for (;;) {
    polled.clear();
    {
      std::lock_guard hold(core.lock);
      if (core.stopping) return;
      std::erase_if(core.sockets, [](const auto& s) { return s->objects.empty(); });
      polled = core.sockets;
    }
    core.changed.notify_all();
    fds.assign(1, pollfd{core.wake, POLLIN, 0});
    for (const auto& socket : polled) fds.push_back(pollfd{socket->fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] const ssize_t n = read(core.wake, &count, sizeof count);
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents & POLLIN) ReadSocket(core, polled[i - 1], buffer);
    }
  }
}

}  // namespace

NTSTATUS StartReceiving() {
  Core& core = TheCore();
  std::lock_guard hold(core.lock);
  if (core.receiver.joinable()) return STATUS_SUCCESS;
  core.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (core.wake < 0) return StatusOfErrno(errno);
  core.stopping = false;
  core.receiver = std::thread(ReceiverLoop);
  return STATUS_SUCCESS;
}

void StopReceiving() {
  Core& core = TheCore();
  {
    std::lock_guard hold(core.lock);
    if (!core.receiver.joinable()) return;
    core.stopping = true;
    WakeReceiver(core);
  }
  core.receiver.join();
  std::lock_guard hold(core.lock);
  close(core.wake);
  core.wake = -1;
  std::erase_if(core.sockets, [](const auto& s) { return s->objects.empty(); });
}

}  // namespace host::udp::detail
