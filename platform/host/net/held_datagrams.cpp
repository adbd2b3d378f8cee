// The datagrams an address object holds for each source until a receive takes them, each
// source's queue bounded as a socket's receive buffer is, so that one source that sends more
// than its receiver takes loses its own datagrams and no other source's. Called with the
// core's lock held.
#include <algorithm>

#include "host/net/udp_core.h"

namespace host::net::detail {

namespace {

size_t Charge(size_t length) { return length + kDatagramOverheadBytes; }

}  // namespace

bool HasRoom(const Core& core, const AddressObject& object, const IpEndpoint& source,
             size_t length) {
  const auto queue = object.held.find(source);
  const size_t charged = queue == object.held.end() ? 0 : queue->second.charged;
  return charged + Charge(length) <= core.sourceQueueBytes;
}

void CountDropped(Core& core, const IpEndpoint& source) {
  ++core.counts.queueDropped;
  ++core.droppedBySource[source];
  ++core.byRemote[source.address].queueDropped;
}

void HoldDatagram(Core& core, AddressObject& object, Datagram&& datagram) {
  const IpEndpoint source = datagram.source;
  SourceQueue& queue = object.held[source];
  const auto later = std::find_if(queue.datagrams.rbegin(), queue.datagrams.rend(),
                                  [&](const Datagram& d) { return d.arrival < datagram.arrival; });
  queue.charged += Charge(datagram.bytes.size());
  queue.datagrams.insert(later.base(), std::move(datagram));
  while (queue.charged > core.sourceQueueBytes) {
    queue.charged -= Charge(queue.datagrams.back().bytes.size());
    CountDropped(core, source);
    queue.datagrams.pop_back();
  }
  if (queue.datagrams.empty()) object.held.erase(source);
}

std::optional<Datagram> TakeHeld(AddressObject& object, const IpEndpoint& filter) {
  auto oldest = object.held.end();
  for (auto queue = object.held.begin(); queue != object.held.end(); ++queue) {
    if (!Matches(filter, queue->first)) continue;
    if (oldest == object.held.end() ||
        queue->second.datagrams.front().arrival < oldest->second.datagrams.front().arrival) {
      oldest = queue;
    }
  }
  if (oldest == object.held.end()) return std::nullopt;
  SourceQueue& queue = oldest->second;
  Datagram taken = std::move(queue.datagrams.front());
  queue.datagrams.pop_front();
  queue.charged -= Charge(taken.bytes.size());
  if (queue.datagrams.empty()) object.held.erase(oldest);
  return taken;
}

std::vector<Datagram> TakeAllHeld(AddressObject& object) {
  std::vector<Datagram> all;
  for (auto& [source, queue] : object.held) {
    for (Datagram& datagram : queue.datagrams) all.push_back(std::move(datagram));
  }
  object.held.clear();
  std::sort(all.begin(), all.end(),
            [](const Datagram& a, const Datagram& b) { return a.arrival < b.arrival; });
  return all;
}

}  // namespace host::net::detail
