// The host's status of each port and remote. The driver's fields are read without its locks, as
// a debugger reads them: each field is one word read whole, and the report is a snapshot in
// which fields may be a moment apart.
#include "link_status_report.h"

#include <ostream>

#include "port/byte_ring.h"
#include "endpoint.h"
#include "host/net/udp_transport.h"

namespace tessacom {

namespace {

std::string LinkState(const PortRecord& record, const PortTableEntry& entry) {
  const USHORT flags = ReadShared(record.LinkFlags);
  const LONG in = ReadShared(entry.InSeq);
  const LONG out = ReadShared(entry.OutSeq);
  std::string state;
  if ((flags & LINK_PORT_HELD) && (flags & LINK_OPEN)) {
    state = "open";
  } else if (flags & LINK_PORT_HELD) {
    state = "held, link not open (taken down by the remote, or closing)";
  } else if (flags & LINK_OPEN) {
    state = "link open, not held (an open under way, or a reply after its open gave up)";
  } else if (out != 0) {
    state = "opening: waiting for the remote's reply";
  } else {
    return "closed";
  }
  return state + "; in seq " + std::to_string(in) + ", out seq " + std::to_string(out);
}

std::string InFlight(const PortRecord& record, const PortTableEntry& entry,
                     const PortLinkCounts& counts) {
  if (ReadShared(record.WriteInFlight) == 0) return "nothing";
  const LONG sequence = ReadShared(record.ChunkSequence);
  if (sequence == 0) {
    return std::to_string(ReadShared(entry.TxHeld)) + " bytes placed, not sent yet";
  }
  std::string text = "DATA seq " + std::to_string(sequence) + ", " +
                     std::to_string(ReadShared(record.LastSentCount)) +
                     " bytes";
  if (counts.chunkSequence == sequence) {
    text += ", sent " + devserver::FormatAge(std::chrono::system_clock::now() - counts.chunkSentAt) +
            " ago";
    if (counts.chunkPolls != 0) text += ", polls for it " + std::to_string(counts.chunkPolls);
  }
  if (ReadShared(record.RetransmitPending)) text += "; a poll is out or its resending due";
  return text;
}

devserver::ChannelStatus PortStatus(const DriverBinding& driver, int index, LinkWatch& watch) {
  const PortTableEntry& entry = driver.PortTable[index];
  const PortRecord& record = *entry.PortRecord;
  const PortLinkCounts counts = watch.Counts(index);
  devserver::ChannelStatus s;
  s.title = "COM" + std::to_string(record.ComNumber) + " <-> " +
            devserver::AddressToString(ReadShared(entry.RemoteAddress)) + " channel " +
            std::to_string(ReadShared(entry.RemoteChannel) + 1);
  s.link = LinkState(record, entry);
  s.inFlight = InFlight(record, entry, counts);
  s.sent = counts.sent;
  s.received = counts.received;
  s.resent = counts.resent;
  s.pollsSent = counts.pollsSent;
  s.pollsAnswered = counts.pollsAnswered;
  s.acknowledgementsSent = {counts.rxAcksSent, "RXACK"};
  s.acknowledgementsReceived = {counts.acksReceived, "ACK"};
  s.refused = {{counts.refusedRepeat, "repeat"}, {counts.refusedGap, "gap"},
               {counts.refusedNoRoom, "no room"}};
  s.held = "transmit ring " + std::to_string(ReadShared(entry.TxHeld)) + " of " +
           std::to_string(TX_RING_SIZE) + " bytes, receive ring " +
           std::to_string(RingHeld(&entry.RxRing, RX_RING_SIZE)) + " of " +
           std::to_string(RX_RING_SIZE - 1) + " bytes";
  if (counts.acksSent != 0) {
    s.more.push_back("the remote's polls answered: ACK " + std::to_string(counts.acksSent));
  }
  return s;
}

void PrintRemotes(std::ostream& out) {
  const host::net::Counters totals = host::net::GetCounters();
  for (const auto& [address, counts] : host::net::CountersByRemote()) {
    devserver::PeerStatus peer;
    peer.peer = "remote " + devserver::AddressToString(address);
    peer.sent = counts.sent;
    peer.received = counts.received;
    peer.lost = {{counts.queueDropped, "full queue"}};
    out << devserver::FormatPeerStatus(peer);
  }
  out << "kernel drops on the driver's sockets: " << totals.kernelDropped
      << " (Linux does not say whose)\n";
}

}  // namespace

void PrintLinkStatus(std::ostream& out, const DriverBinding& driver, LinkWatch& watch) {
  const int ports = driver.MaxPort < MAX_PORTS ? driver.MaxPort : MAX_PORTS;
  int quiet = 0;
  for (int i = 0; i < ports; i++) {
    const PortTableEntry& entry = driver.PortTable[i];
    if (entry.PortRecord == nullptr) continue;
    if (!watch.Seen(i) && ReadShared(entry.PortRecord->LinkFlags) == 0) {
      quiet++;
      continue;
    }
    out << devserver::FormatChannelStatus(PortStatus(driver, i, watch));
  }
  if (quiet != 0) out << "other ports closed, with nothing sent or received: " << quiet << "\n";
  PrintRemotes(out);
}

}  // namespace tessacom
