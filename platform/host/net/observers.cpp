// The transport's observers: what its sockets send and take, reported in one order, and the
// datagrams handed to receives. The observers' lock is a leaf beside the core's lock: the two
// are never held together. When nothing observes, sends and receives pay one atomic load.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>

#include "host/net/receive_batch.h"
#include "host/net/udp_core.h"

namespace host::net::detail {

namespace {

struct Observers {
  std::mutex lock;  // held while they are called, and while a watched datagram is sent
  std::vector<DatagramObserver*> list;
  std::atomic<bool> any{false};
  std::map<uint32_t, uint32_t> sourceFor;  // destination -> the address Linux sends from
};

Observers& TheObservers() {
  static Observers* observers = new Observers;  // never destroyed, as the core
  return *observers;
}

// The address Linux sends from toward `destination`, cached; the observers' lock held.
uint32_t SourceToward(Observers& self, uint32_t destination) {
  const auto found = self.sourceFor.find(destination);
  if (found != self.sourceFor.end()) return found->second;
  return self.sourceFor[destination] = SourceAddressToward(destination);
}

WireEndpoint Wire(const sockaddr_in& address) {
  return WireEndpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

void Tell(Observers& self, WireDatagram& datagram) {
  datagram.time = std::chrono::system_clock::now();  // under the lock: the reports' order
  for (DatagramObserver* observer : self.list) observer->OnWire(datagram);
}

}  // namespace

ssize_t SendObserved(const BoundSocket& socket, const sockaddr_in& to, const void* bytes,
                     size_t length) {
  Observers& self = TheObservers();
  auto send = [&] {
    return sendto(socket.fd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  };
  if (!self.any.load(std::memory_order_acquire)) return send();
  std::lock_guard hold(self.lock);
  const ssize_t sent = send();
  if (sent < 0 || self.list.empty()) return sent;
  const int error = errno;
  WireDatagram datagram;
  datagram.sent = true;
  datagram.remote = Wire(to);
  datagram.local = WireEndpoint{socket.bound.address, socket.bound.port};
  if (datagram.local.address == 0) datagram.local.address = SourceToward(self, datagram.remote.address);
  datagram.bytes = std::span(static_cast<const uint8_t*>(bytes), length);
  Tell(self, datagram);
  errno = error;
  return sent;
}

void ReportReceived(const BoundSocket& socket, const ReceiveBatch& batch, size_t count) {
  Observers& self = TheObservers();
  if (!self.any.load(std::memory_order_acquire)) return;
  std::lock_guard hold(self.lock);
  for (size_t i = 0; i < count; i++) {
    WireDatagram datagram;
    datagram.remote = Wire(batch.Source(i));
    datagram.local = WireEndpoint{socket.bound.address, socket.bound.port};
    if (datagram.local.address == 0) datagram.local.address = batch.Destination(i).value_or(0);
    datagram.bytes = batch.Bytes(i);
    Tell(self, datagram);
  }
}

void ReportDelivered(const Datagram& datagram) {
  Observers& self = TheObservers();
  if (!self.any.load(std::memory_order_acquire)) return;
  std::lock_guard hold(self.lock);
  for (DatagramObserver* observer : self.list) {
    observer->OnDelivered(datagram.source.address, datagram.source.port, datagram.bytes);
  }
}

}  // namespace host::net::detail

namespace host::net {

void AddObserver(DatagramObserver* observer) {
  detail::Observers& self = detail::TheObservers();
  std::lock_guard hold(self.lock);
  self.list.push_back(observer);
  self.any.store(true, std::memory_order_release);
}

void RemoveObserver(DatagramObserver* observer) {
  detail::Observers& self = detail::TheObservers();
  std::lock_guard hold(self.lock);
  std::erase(self.list, observer);
  self.any.store(!self.list.empty(), std::memory_order_release);
}

}  // namespace host::net
