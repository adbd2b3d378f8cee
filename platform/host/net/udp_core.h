// Private to platform/host/net.
// The state the UDP transport's sockets, address objects and receiving thread share
//: one record, guarded by its mutex, never destroyed.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/net/sockets.h"
#include "host/net/udp_transport.h"

namespace host::net::detail {

// One real socket per bound (address, port); the address objects on it, oldest first. The
// descriptor is closed with the last reference, which the receiving thread drops once nothing
// is bound on it any more.
struct BoundSocket {
  int fd = -1;
  IpEndpoint bound;  // on the wire (port mapped)
  std::vector<AddressObject*> objects;
  uint32_t kernelDrops = 0;  // the kernel's drop count on it, as last reported
  ~BoundSocket();
};

// The datagrams of one source that no receive has taken yet, oldest first, and the bytes they
// are charged against the source's bound.
struct SourceQueue {
  std::deque<Datagram> datagrams;
  size_t charged = 0;
};

struct AddressObject {
  uint64_t serial = 0;
  bool open = true;     // until IRP_MJ_CLEANUP
  bool closed = false;  // IRP_MJ_CLOSE seen; freed once no cancel routine needs it
  std::shared_ptr<BoundSocket> socket;
  std::map<IpEndpoint, SourceQueue> held;  // by source; a queue is removed when it empties
  std::list<ReceiveRequest> pending;
};

struct Core {
  std::mutex lock;
  std::condition_variable changed;  // notified after every change, for WaitForCounters
  std::vector<std::shared_ptr<BoundSocket>> sockets;
  std::unordered_set<AddressObject*> objects;  // not yet freed
  std::unordered_map<PIRP, AddressObject*> pendingIndex;
  uint64_t nextSerial = 1;
  Counters counts;  // cumulative fields only
  uint32_t anyAddress = 0;  // INADDR_ANY
  bool guard = true;
  std::map<uint16_t, uint16_t> portMap;  // driver port -> wire port
  size_t sourceQueueBytes = kDefaultSourceQueueBytes;
  uint64_t nextArrival = 1;
  std::map<IpEndpoint, size_t> droppedBySource;  // cumulative, as `counts`
  std::map<uint32_t, RemoteCounters> byRemote;     // cumulative, as `counts`
  std::optional<BindRefusal> lastBindRefusal;      // until the counters are reset
  std::thread receiver;
  int wake = -1;  // eventfd that wakes the receiving thread
  bool stopping = false;
};

// Never destroyed: address objects may outlive the end of main in a program that exits
// without closing them, and the receiving thread must never see a destroyed core.
Core& TheCore();

// The following expect the core's lock held.
uint16_t ToWirePort(const Core& core, uint16_t port);
uint16_t FromWirePort(const Core& core, uint16_t port);
bool Matches(const IpEndpoint& filter, const IpEndpoint& source);
// Takes the oldest pending receive on the socket whose filter matches `source`, looking at the
// newest address object first; receives being cancelled are left alone.
std::optional<ReceiveRequest> TakeMatchingReceive(Core& core, BoundSocket& socket,
                                                  const IpEndpoint& source);
// The datagrams held for each source (held_datagrams.cpp). A source's queue is bounded in
// bytes as a socket's receive buffer is: each datagram is charged its length plus
// kDatagramOverheadBytes, and one that does not fit is dropped.
// True when a datagram of `length` bytes from `source` fits in the object's queue for it.
bool HasRoom(const Core& core, const AddressObject& object, const IpEndpoint& source,
             size_t length);
// Puts a datagram into its source's queue in order of arrival; the newest beyond the bound are
// dropped and counted.
void HoldDatagram(Core& core, AddressObject& object, Datagram&& datagram);
// Counts a datagram of `source` dropped for want of room.
void CountDropped(Core& core, const IpEndpoint& source);
// The oldest held datagram whose source matches `filter`, taken out of its queue.
std::optional<Datagram> TakeHeld(AddressObject& object, const IpEndpoint& filter);
// Every held datagram, oldest first; the object holds none afterwards.
std::vector<Datagram> TakeAllHeld(AddressObject& object);
void WakeReceiver(Core& core);
Counters CurrentCounters(const Core& core);

// The observers (observers.cpp); each takes the observers' lock, never the core's.
class ReceiveBatch;
// Sends a datagram on the socket to `to` (on the wire) and, when anything observes, reports it
// under the observers' lock held across the send, so that nothing received after it is
// reported before it. What sendto returned (errno kept).
ssize_t SendObserved(const BoundSocket& socket, const sockaddr_in& to, const void* bytes,
                     size_t length);
// Reports the first `count` datagrams of a batch read from the socket.
void ReportReceived(const BoundSocket& socket, const ReceiveBatch& batch, size_t count);

}  // namespace host::net::detail
