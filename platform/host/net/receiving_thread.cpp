// The UDP transport's receiving thread: it waits on every bound socket, hands each datagram
// to exactly one address object (a pending receive whose filter matches, newest address
// object first, else the newest object's queue for the datagram's source, or nowhere when that
// is full) and completes the receive that took it.
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "host/net/receive_batch.h"
#include "host/net/udp_core.h"
#include "kernel.h"

namespace host::net::detail {

void WakeReceiver(Core& core) {
  if (core.wake < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(core.wake, &one, sizeof one);
}

namespace {

// Gives a datagram no pending receive took to the newest address object on the socket, which
// holds it when it fits in its queue for the source; otherwise it is dropped and counted (as a
// full socket buffer drops what arrives). Lock held.
void HoldOrDrop(Core& core, BoundSocket& socket, const IpEndpoint& source,
                std::span<const uint8_t> bytes) {
  if (socket.objects.empty()) return;  // nobody bound any more
  AddressObject& newest = *socket.objects.back();
  if (!HasRoom(core, newest, source, bytes.size())) return CountDropped(core, source);
  HoldDatagram(core, newest, Datagram{source, {bytes.begin(), bytes.end()}, core.nextArrival++});
}

// Hands a batch's datagrams to the socket's address objects under one hold of the lock and
// adds up the kernel's drops reported with them; the receives that took one are left in
// `done`, to complete once the lock is released.
void DeliverBatch(Core& core, BoundSocket& socket, const ReceiveBatch& batch, size_t count,
                  std::vector<std::pair<ReceiveRequest, Datagram>>& done) {
  std::lock_guard hold(core.lock);
  for (size_t i = 0; i < count; i++) {
    if (const std::optional<uint32_t> drops = batch.KernelDrops(i)) {
      core.counts.kernelDropped += *drops - socket.kernelDrops;  // modulo 2^32
      socket.kernelDrops = *drops;
    }
    ++core.counts.datagramsReceived;
    const sockaddr_in& from = batch.Source(i);
    const IpEndpoint source{ntohl(from.sin_addr.s_addr), FromWirePort(core, ntohs(from.sin_port))};
    ++core.byRemote[source.address].received;
    const std::span<const uint8_t> bytes = batch.Bytes(i);
    if (std::optional<ReceiveRequest> taken = TakeMatchingReceive(core, socket, source)) {
      done.emplace_back(*taken, Datagram{source, {bytes.begin(), bytes.end()}});
    } else {
      HoldOrDrop(core, socket, source, bytes);
    }
  }
}

// Reads and hands over what the socket holds, a bounded number of batches at a time so that a
// flooded socket leaves the others and the wake-up their turn.
void ReadSocket(Core& core, BoundSocket& socket, ReceiveBatch& batch) {
  constexpr int kBatchesPerTurn = 8;
  std::vector<std::pair<ReceiveRequest, Datagram>> done;
  for (int turn = 0; turn < kBatchesPerTurn; turn++) {
    const size_t count = batch.Read(socket.fd);
    if (count == 0) return;
    ReportReceived(socket, batch, count);
    DeliverBatch(core, socket, batch, count, done);
    for (const auto& [request, datagram] : done) CompleteReceive(request, datagram);
    done.clear();
    core.changed.notify_all();
    if (count < ReceiveBatch::kDatagrams) return;
  }
}

// The receiving thread: waits on every bound socket and on its wake-up descriptor; sockets
// left without address objects are closed here, where nothing polls them any more. It runs
// ahead of every thread of the driver, whose raised threads run 10 nice values lower than
// ordinary ones, as a kernel's receive path runs at DISPATCH_LEVEL ahead of all threads: so a
// driver thread busy with one remote's flood does not keep it from the socket, and what is
// dropped is decided here. Where the process may not lower nice values it runs as it is.
void ReceiverLoop() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -20);
  Core& core = TheCore();
  ReceiveBatch batch;
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
      if (fds[i].revents & POLLIN) ReadSocket(core, *polled[i - 1], batch);
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

}  // namespace host::net::detail
