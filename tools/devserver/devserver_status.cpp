// The device server's status, in the lines the driver host's status uses, so that the two
// ends of a link read side by side.
#include "devserver.h"
#include "link_status.h"

namespace devserver {

namespace {

std::string LinkState(const ChannelSnapshot& c) {
  return std::string(c.open ? "open" : "closed") + "; opens " + std::to_string(c.opens) +
         ", closes " + std::to_string(c.closes) + "; last DATA taken seq " +
         std::to_string(c.lastDataSequence) + ", SEQDATA numbered to " +
         std::to_string(c.lastSentSequence);
}

std::string InFlight(const ChannelSnapshot& c, Clock::time_point now) {
  if (c.inFlightSequences.empty()) return "nothing";
  std::string sequences;
  for (const uint8_t sequence : c.inFlightSequences) {
    sequences += (sequences.empty() ? "" : ", ") + std::to_string(sequence);
  }
  std::string text = std::to_string(c.inFlightSequences.size()) + " SEQDATA (seq " + sequences +
                     ") of " + std::to_string(c.inFlightBytes) + " bytes";
  if (c.inFlightSentAt) text += ", the oldest last sent " + FormatAge(now - *c.inFlightSentAt) + " ago";
  return text;
}

ChannelStatus StatusOf(const ChannelSnapshot& c, const std::string& line, Clock::time_point now) {
  ChannelStatus s;
  s.title = ChannelName(c.number) + " <-> driver " +
            (c.peer ? c.peer->ToString() : std::string("(not heard from)"));
  s.link = LinkState(c);
  s.inFlight = InFlight(c, now);
  s.sent = {c.packetsToDriver, c.dataPacketsToDriver, c.dataBytesToDriver};
  s.received = {c.packetsFromDriver, c.dataPackets, c.dataBytesFromDriver};
  s.resent = c.seqDataResent;
  s.pollsSent = c.pollsSent;
  s.pollsAnswered = c.acksFromDriver;
  // Every DATA on an open channel is answered, and every poll answered there.
  s.acknowledgementsSent = {c.dataPackets - c.dataRefusedClosed + c.pollsAnswered, "ACK"};
  s.acknowledgementsReceived = {c.rxAcks, "RXACK"};
  s.refused = {{c.dataRefusedRepeat, "repeat"}, {c.dataRefusedOutOfOrder, "gap"},
               {c.dataRefusedClosed, "closed channel"}};
  s.held = "line bytes waiting " + std::to_string(c.lineBytesWaiting) + ", acknowledged " +
           std::to_string(c.lineBytesAcknowledged) + ", lost " + std::to_string(c.lineBytesLost) +
           "; driver bytes taken " + std::to_string(c.written.size());
  s.more.push_back("RXACK refused (naming nothing in flight) " + std::to_string(c.rxAcksRefused) +
                   "; the driver's polls answered " + std::to_string(c.pollsAnswered) +
                   ", refused on a closed channel " + std::to_string(c.pollsRefusedClosed));
  s.more.push_back("line " + line + "; break " + (c.breakOn ? "on" : "off") + " (on " +
                   std::to_string(c.breakOns) + ", off " + std::to_string(c.breakOffs) +
                   "), settings packets " + std::to_string(c.settingsPackets));
  if (c.settings) s.more.push_back("settings: " + c.settings->Describe());
  return s;
}

}  // namespace

std::string DeviceServer::StatusText(std::optional<uint8_t> channel) const {
  return StatusText(channel ? std::vector<uint8_t>{*channel} : OpenChannels());
}

std::string DeviceServer::StatusText(const std::vector<uint8_t>& shown) const {
  const Clock::time_point now = Clock::now();
  std::string text;
  for (const uint8_t number : shown) {
    text += FormatChannelStatus(StatusOf(Channel(number), BackendDescription(number), now));
  }
  const ServerStats s = Stats();
  for (const auto& [peer, counts] : s.byPeer) {
    text += FormatPeerStatus({"driver " + peer.ToString(), counts.out, counts.in, {}});
  }
  text += FormatPeerStatus({"server " + Local().ToString(), s.datagramsOut, s.datagramsIn,
                            {{s.kernelDrops, "kernel drops"},
                             {s.droppedIn, "fault drops in"},
                             {s.droppedOut, "fault drops out"},
                             {s.vanishedIn, "vanished in"},
                             {s.vanishedOut, "vanished out"}}});
  if (!options_.capture.empty()) {
    text += "capture " + options_.capture + ": datagrams " + std::to_string(s.captured) +
            ", past its limit " + std::to_string(s.captureRefused) + "\n";
  }
  return text;
}

}  // namespace devserver
