// Private to platform/host/net.
// The state the UDP transport's sockets, address objects and receiving thread share
//: one record, guarded by its mutex, never destroyed.
#pragma once

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

namespace host::udp::detail {

// One real socket per bound (address, port); the address objects on it, oldest first. The
// descriptor is closed with the last reference, which the receiving thread drops once nothing
// is bound on it any more.
struct BoundSocket {
  int fd = -1;
  IpEndpoint bound;  // on the wire (port mapped)
  std::vector<AddressObject*> objects;
  uint32_t kernelDrops = 0;  // the kernel's drop count last reported on it (receiving thread)
  ~BoundSocket();
};

struct AddressObject {
  uint64_t serial = 0;
  bool open = true;     // until IRP_MJ_CLEANUP
  bool closed = false;  // IRP_MJ_CLOSE seen; freed once no cancel routine needs it
  std::shared_ptr<BoundSocket> socket;
  std::deque<Datagram> backlog;
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
  size_t backlogLimit = 64;
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
// Drops the oldest datagrams of a backlog beyond the limit, counting them.
void TrimBacklog(Core& core, std::deque<Datagram>& backlog);
void WakeReceiver(Core& core);
Counters CurrentCounters(const Core& core);

}  // namespace host::udp::detail
