// Counting each port's link from the datagrams the transport reports.
#include "link_watch.h"

#include "wire.h"

namespace tessacom {

namespace {

// How many sequences before the last accepted one a remote may still resend: its window is at
// most 7 packets.
constexpr int kRepeatReach = 6;

int Ports(const DriverBinding& driver) { return driver.MaxPort < MAX_PORTS ? driver.MaxPort : MAX_PORTS; }

// True when `sequence` is `accepted` or one of the kRepeatReach before it, counting 1 to 15.
bool IsRepeat(uint8_t sequence, LONG accepted) {
  if (sequence == 0 || accepted <= 0) return false;
  const int back = ((static_cast<int>(accepted) - 1) - (sequence - 1) + 15) % 15;
  return back <= kRepeatReach;
}

}  // namespace

LinkWatch::LinkWatch(const DriverBinding& driver) : driver_(driver) { host::net::AddObserver(this); }

LinkWatch::~LinkWatch() { host::net::RemoveObserver(this); }

// The port that sends to `remote` on wire channel `channel`, as the sender addresses it.
int LinkWatch::OutboundPort(uint32_t remote, uint8_t channel) const {
  for (int i = 0; i < Ports(driver_); i++) {
    const PortTableEntry& entry = driver_.PortTable[i];
    if (entry.PortRecord != nullptr && ReadShared(entry.RemoteAddress) == remote &&
        (ReadShared(entry.RemoteChannel) & 0xFF) == channel) {
      return i;
    }
  }
  return -1;
}

// The port a datagram from `remote` on `channel` is handed to, as inbound dispatch finds it.
int LinkWatch::InboundPort(uint32_t remote, uint8_t channel) const {
  for (int i = 0; i < Ports(driver_); i++) {
    const PortTableEntry& entry = driver_.PortTable[i];
    if (entry.PortRecord != nullptr && ReadShared(entry.RemoteAddress) == remote &&
        ReadShared(entry.RemoteChannel) == static_cast<LONG>(channel)) {
      return i;
    }
  }
  return -1;
}

void LinkWatch::Sent(PortLinkCounts& port, uint8_t type, uint8_t sequence,
                     std::chrono::system_clock::time_point time) {
  switch (type) {
    case devserver::kData:
      if (sequence == port.chunkSequence) {
        port.resent++;
      } else {
        port.chunkSequence = sequence;
        port.chunkSentAt = time;
        port.chunkPolls = 0;
      }
      break;
    case devserver::kOpen:  // the remote numbers afresh: a sequence seen before is new again
      port.chunkSequence = 0;
      port.pollOut = false;
      break;
    case devserver::kPoll:
      port.pollsSent++;
      port.chunkPolls++;
      port.pollOut = true;
      break;
    case devserver::kRxAck: port.rxAcksSent++; break;
    case devserver::kAck: port.acksSent++; break;
    default: break;
  }
}

void LinkWatch::Received(PortLinkCounts& port, uint8_t type) {
  if (type != devserver::kAck) return;
  port.acksReceived++;
  if (port.pollOut) port.pollsAnswered++;
  port.pollOut = false;
}

void LinkWatch::OnWire(const host::net::WireDatagram& datagram) {
  const std::optional<devserver::Packet> packet = devserver::Decode(datagram.bytes);
  if (!packet) return;
  std::lock_guard hold(lock_);
  const int index = datagram.sent ? OutboundPort(datagram.remote.address, packet->channel)
                                  : InboundPort(datagram.remote.address, packet->channel);
  if (index < 0) return;
  PortLinkCounts& port = ports_[index];
  devserver::LinkCounts& way = datagram.sent ? port.sent : port.received;
  way.packets++;
  if (packet->type == devserver::kData || packet->type == devserver::kSeqData) {
    way.dataPackets++;
    way.dataBytes += packet->payload.size();
  }
  if (datagram.sent) {
    Sent(port, packet->type, packet->sequence, datagram.time);
  } else {
    Received(port, packet->type);
  }
}

// Decides the remote's undecided SEQDATA from its port's accepted sequence: taken when it moved
// to the packet's, refused for want of room when it stayed. `final`: the port has dealt with
// the packet (the remote's next datagram is being handed over), so a sequence that stayed means
// no room, and one that moved elsewhere (a close or an open meanwhile) decides nothing.
void LinkWatch::Decide(uint32_t remote, bool final) {
  const auto found = undecided_.find(remote);
  if (found == undecided_.end()) return;
  const Undecided undecided = found->second;
  const LONG accepted = ReadShared(driver_.PortTable[undecided.port].InSeq);
  if (accepted != undecided.sequence && !final) return;
  if (accepted == undecided.acceptedBefore) ports_[undecided.port].refusedNoRoom++;
  undecided_.erase(found);
}

void LinkWatch::OnDelivered(uint32_t sourceAddress, uint16_t, std::span<const uint8_t> bytes) {
  std::lock_guard hold(lock_);
  Decide(sourceAddress, true);
  const std::optional<devserver::Packet> packet = devserver::Decode(bytes);
  if (!packet || packet->type != devserver::kSeqData) return;
  const int index = InboundPort(sourceAddress, packet->channel);
  if (index < 0 || ReadShared(driver_.PortTable[index].RxRing.Buffer) == nullptr) return;
  const LONG accepted = ReadShared(driver_.PortTable[index].InSeq);
  if (packet->sequence == devserver::NextSeq(static_cast<uint8_t>(accepted))) {
    undecided_[sourceAddress] = Undecided{index, packet->sequence, accepted};
  } else if (IsRepeat(packet->sequence, accepted)) {
    ports_[index].refusedRepeat++;
  } else {
    ports_[index].refusedGap++;
  }
}

PortLinkCounts LinkWatch::Counts(int port) {
  std::lock_guard hold(lock_);
  for (auto it = undecided_.begin(); it != undecided_.end();) {
    const uint32_t remote = (it++)->first;  // Decide may erase the entry
    Decide(remote, false);
  }
  return ports_[port];
}

bool LinkWatch::Seen(int port) {
  std::lock_guard hold(lock_);
  return ports_[port].sent.packets != 0 || ports_[port].received.packets != 0;
}

}  // namespace tessacom
