// The status of the link as either end shows it: `tessacom` per port and per remote, the device
// server emulator per channel and per driver it heard from, in the same lines and words, so
// that the two ends' reports read side by side.
//
//   COM3 <-> 127.77.0.2 channel 1: open; in seq 12, out seq 4
//     in flight: DATA seq 4, 44 bytes, sent 0.012 s ago
//     sent:     packets 6, data 3 (300 bytes), resent 0, polls 0 (answered 0), RXACK 1
//     received: packets 7, data 3 (300 bytes), ACK 3; refused: repeat 0, gap 0, no room 0
//     held:     transmit ring 0 of 128 bytes, receive ring 0 of 1023 bytes
//   remote 127.77.0.2: datagrams sent 6, received 7; lost: full queue 0
//
// A count follows its name, so that the words stay the same whatever the count.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace devserver {

// Link packets one way on a channel.
struct LinkCounts {
  size_t packets = 0;      // every link packet
  size_t dataPackets = 0;  // DATA and SEQDATA, resendings included
  size_t dataBytes = 0;    // their payload bytes
};

// A count and what it counts: {3, "repeat"} reads "repeat 3".
using Counted = std::pair<size_t, std::string>;

struct ChannelStatus {
  std::string title;     // "COM3 <-> 127.77.0.2 channel 1"
  std::string link;      // the link's state, in words
  std::string inFlight;  // the data not yet acknowledged and its age, or "nothing"
  LinkCounts sent;
  LinkCounts received;
  size_t resent = 0;         // data packets sent again under their sequence
  size_t pollsSent = 0;
  size_t pollsAnswered = 0;
  Counted acknowledgementsSent;      // of the data received: {4, "RXACK"}
  Counted acknowledgementsReceived;  // of the data sent: {3, "ACK"}
  std::vector<Counted> refused;      // sequenced data received and not taken, by reason
  std::string held;                  // what the end holds, in words
  std::vector<std::string> more;     // lines of this end's own
};

// Datagrams exchanged with one peer, and those lost on the way at this end, by cause (no
// clause when the end cannot tell them per peer).
struct PeerStatus {
  std::string peer;  // "remote 127.77.0.2", "driver 127.77.0.1:519"
  size_t sent = 0;
  size_t received = 0;
  std::vector<Counted> lost;
};

// The lines of a channel, each ending in a newline.
std::string FormatChannelStatus(const ChannelStatus& status);
std::string FormatPeerStatus(const PeerStatus& status);
// "0.012 s"
std::string FormatAge(std::chrono::duration<double> age);

}  // namespace devserver
