// The UDP transport's address objects: binding them (sharing one socket per bound address),
// cleanup and close, queueing and cancelling receives, and sends. PASSIVE_LEVEL (the dispatch
// routines refuse raised levels); the core's lock is held only around its own state.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/net/udp_core.h"
#include "kernel.h"

namespace host::net::detail {

BoundSocket::~BoundSocket() {
  if (fd >= 0) close(fd);
}

Core& TheCore() {
  static Core* core = new Core;
  return *core;
}

uint16_t ToWirePort(const Core& core, uint16_t port) {
  const auto found = core.portMap.find(port);
  return found == core.portMap.end() ? port : found->second;
}

uint16_t FromWirePort(const Core& core, uint16_t port) {
  for (const auto& [driverPort, wirePort] : core.portMap) {
    if (wirePort == port) return driverPort;
  }
  return port;
}

bool Matches(const IpEndpoint& filter, const IpEndpoint& source) {
  return (filter.address == 0 || filter.address == source.address) &&
         (filter.port == 0 || filter.port == source.port);
}

std::optional<ReceiveRequest> TakeMatchingReceive(Core& core, BoundSocket& socket,
                                                  const IpEndpoint& source) {
  for (auto object = socket.objects.rbegin(); object != socket.objects.rend(); ++object) {
    std::list<ReceiveRequest>& pending = (*object)->pending;
    for (auto request = pending.begin(); request != pending.end(); ++request) {
      if (!Matches(request->filter, source)) continue;
      // A receive whose cancel routine is already gone is being cancelled: leave it.
      if (IoSetCancelRoutine(request->irp, nullptr) == nullptr) continue;
      ReceiveRequest taken = *request;
      pending.erase(request);
      core.pendingIndex.erase(taken.irp);
      return taken;
    }
  }
  return std::nullopt;
}

namespace {

// Hands the datagrams a closing address object held to the other objects on its socket, oldest
// first: to a pending receive that matches, else into the newest object's queue for its source
// in order of arrival. Lock held.
void HandOverHeld(Core& core, BoundSocket& socket, AddressObject& closing,
                  std::vector<std::pair<ReceiveRequest, Datagram>>* handed) {
  std::vector<Datagram> held = TakeAllHeld(closing);
  if (socket.objects.empty()) return;
  for (Datagram& datagram : held) {
    if (std::optional<ReceiveRequest> taken = TakeMatchingReceive(core, socket, datagram.source)) {
      handed->emplace_back(*taken, std::move(datagram));
    } else {
      HoldDatagram(core, *socket.objects.back(), std::move(datagram));
    }
  }
}

void FreeIfDone(Core& core, AddressObject* object) {
  if (object->closed && object->pending.empty()) {
    core.objects.erase(object);
    delete object;
  }
}

}  // namespace

NTSTATUS StatusOfErrno(int error) {
  switch (error) {
    case EADDRINUSE: return STATUS_ADDRESS_ALREADY_EXISTS;
    case EACCES:
    case EPERM: return STATUS_ACCESS_DENIED;
    case EADDRNOTAVAIL: return STATUS_INVALID_ADDRESS;
    case ENETUNREACH: return STATUS_NETWORK_UNREACHABLE;
    case EHOSTUNREACH: return STATUS_HOST_UNREACHABLE;
    case ECONNREFUSED: return STATUS_CONNECTION_RESET;
    case EMSGSIZE:
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case ENOBUFS:
    case ENOMEM:
    case EMFILE:
    case ENFILE: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_UNSUCCESSFUL;
  }
}

namespace {

// Binds a new socket to `wire` (port 0: one the system picks) with the options the receiving
// thread relies on: a receive buffer that holds what arrives while the thread is not running,
// so that the thread, not the kernel, decides what is dropped, the kernel's drop count and the
// datagram's destination address (which a socket bound to the any-address does not know
// otherwise) reported with each datagram. 0, or the errno.
//
// No address reuse: with it Linux lets a second program bind the same UDP address and port and
// hands each datagram to one of them, so a second run serving an address would take half of the
// first one's datagrams. Without it that bind fails with EADDRINUSE, and so does one that
// overlaps a bound address through the any-address. Address objects of this process on one
// (address, port) share one socket and need no second bind; a socket is closed when its last
// object goes, and UDP keeps no time-wait, so binding the address again at once succeeds. Runs
// side by side stay apart by binding loopback addresses of their own.
int BindSocket(const IpEndpoint& wire, BoundSocket* socket) {
  socket->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket->fd < 0) return errno;
  const int on = 1;
  setsockopt(socket->fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  setsockopt(socket->fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);  // each datagram's destination
  // Past the limit Linux sets unprivileged processes when the process may, else up to it.
  const int buffer = kKernelReceiveBufferBytes;
  if (setsockopt(socket->fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0) {
    setsockopt(socket->fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(wire.port);
  address.sin_addr.s_addr = htonl(wire.address);
  if (bind(socket->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return errno;
  }
  socklen_t length = sizeof address;
  getsockname(socket->fd, reinterpret_cast<sockaddr*>(&address), &length);
  socket->bound = IpEndpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
  return 0;
}

}  // namespace

NTSTATUS OpenAddress(const IpEndpoint& requested, AddressObject** object) {
  Core& core = TheCore();
  std::lock_guard hold(core.lock);
  IpEndpoint wire{requested.address == 0 ? core.anyAddress : requested.address,
                  ToWirePort(core, requested.port)};
  std::shared_ptr<BoundSocket> socket;
  if (wire.port != 0) {
    for (const auto& s : core.sockets) {
      if (s->bound == wire) socket = s;
    }
  }
  if (!socket) {
    socket = std::make_shared<BoundSocket>();
    if (const int error = BindSocket(wire, socket.get())) {
      core.lastBindRefusal = BindRefusal{WireEndpoint{wire.address, wire.port}, error};
      return StatusOfErrno(error);
    }
    core.sockets.push_back(socket);
    WakeReceiver(core);
  }
  auto* created = new AddressObject;
  created->serial = core.nextSerial++;
  created->socket = socket;
  socket->objects.push_back(created);
  core.objects.insert(created);
  *object = created;
  core.changed.notify_all();
  return STATUS_SUCCESS;
}

bool IsAddressObject(const void* pointer) {
  Core& core = TheCore();
  std::lock_guard hold(core.lock);
  return core.objects.count(static_cast<AddressObject*>(const_cast<void*>(pointer))) != 0;
}

Cleanup CleanupAddress(AddressObject* object) {
  Core& core = TheCore();
  Cleanup cleanup;
  {
    std::lock_guard hold(core.lock);
    if (!object->open) return cleanup;
    object->open = false;
    std::erase(object->socket->objects, object);
    HandOverHeld(core, *object->socket, *object, &cleanup.handed);
    object->socket.reset();
    for (auto request = object->pending.begin(); request != object->pending.end();) {
      if (IoSetCancelRoutine(request->irp, nullptr) == nullptr) {
        ++request;  // its cancel routine is running and will take it
        continue;
      }
      core.pendingIndex.erase(request->irp);
      cleanup.ended.push_back(*request);
      request = object->pending.erase(request);
    }
    WakeReceiver(core);  // the socket may have no address object left
  }
  core.changed.notify_all();
  return cleanup;
}

void CloseAddress(AddressObject* object) {
  Core& core = TheCore();
  {
    std::lock_guard hold(core.lock);
    object->closed = true;
    FreeIfDone(core, object);
  }
  core.changed.notify_all();
}

ReceiveOutcome Receive(AddressObject* object, const ReceiveRequest& request, Datagram* taken,
                       PDRIVER_CANCEL cancelRoutine) {
  Core& core = TheCore();
  ReceiveOutcome outcome;
  {
    std::lock_guard hold(core.lock);
    if (!object->open) return ReceiveOutcome::Closed;
    if (std::optional<Datagram> waiting = TakeHeld(*object, request.filter)) {
      *taken = std::move(*waiting);
      return ReceiveOutcome::Taken;
    }
    IoMarkIrpPending(request.irp);
    IoSetCancelRoutine(request.irp, cancelRoutine);
    if (request.irp->Cancel && IoSetCancelRoutine(request.irp, nullptr) != nullptr) {
      outcome = ReceiveOutcome::Cancelled;
    } else {
      // Also when a cancel routine is already on its way: it finds the request here.
      object->pending.push_back(request);
      core.pendingIndex[request.irp] = object;
      outcome = ReceiveOutcome::Pending;
    }
  }
  core.changed.notify_all();
  return outcome;
}

std::optional<ReceiveRequest> TakeCancelledReceive(PIRP irp) {
  Core& core = TheCore();
  std::optional<ReceiveRequest> taken;
  {
    std::lock_guard hold(core.lock);
    const auto found = core.pendingIndex.find(irp);
    if (found == core.pendingIndex.end()) return std::nullopt;
    AddressObject* object = found->second;
    core.pendingIndex.erase(found);
    for (auto request = object->pending.begin(); request != object->pending.end(); ++request) {
      if (request->irp == irp) {
        taken = *request;
        object->pending.erase(request);
        break;
      }
    }
    FreeIfDone(core, object);
  }
  core.changed.notify_all();
  return taken;
}

void CountCompletion(bool truncated) {
  Core& core = TheCore();
  {
    std::lock_guard hold(core.lock);
    ++core.counts.receivesCompleted;
    if (truncated) ++core.counts.truncated;
  }
  core.changed.notify_all();
}

NTSTATUS Send(AddressObject* object, const IpEndpoint& to, const void* bytes, size_t length) {
  Core& core = TheCore();
  std::shared_ptr<BoundSocket> socket;
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  {
    std::lock_guard hold(core.lock);
    if (!object->open) return STATUS_LOCAL_DISCONNECT;
    if (core.guard && (to.address >> 24) != 127) {
      ++core.counts.refusedByGuard;
      core.changed.notify_all();
      return STATUS_HOST_UNREACHABLE;
    }
    socket = object->socket;
    address.sin_family = AF_INET;
    address.sin_port = htons(ToWirePort(core, to.port));
    address.sin_addr.s_addr = htonl(to.address);
  }
  if (SendObserved(*socket, address, bytes, length) < 0) return StatusOfErrno(errno);
  {
    std::lock_guard hold(core.lock);
    ++core.counts.datagramsSent;
    ++core.byRemote[to.address].sent;
  }
  core.changed.notify_all();
  return STATUS_SUCCESS;
}

size_t AddressObjectsNotClosed() {
  Core& core = TheCore();
  std::lock_guard hold(core.lock);
  return core.objects.size();
}

}  // namespace host::net::detail
