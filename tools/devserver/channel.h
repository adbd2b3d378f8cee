// One channel of the device server: its side of the link protocol, without sockets or threads.
// A packet from the driver, line bytes to send, or the passing of time go in; the datagrams to
// send, the bytes the driver wrote to the line and notes for people come out.
//
// Sequencing, as the server keeps it (L is the sequence of the last DATA taken; an OPEN sets
// it to the OPEN's own):
// - Driver data (DATA) is taken only on an open channel and only in order: the packet whose
//   sequence is NextSeq(L). Every DATA on an open channel is answered, after the decision, with
//   ACK(L): a taken packet's own sequence; for one refused (a repeat of L, a gap, a stale copy
//   the network held back, sequence 0) the last one taken, never its own. DATA on a channel
//   that is not open is refused and not answered.
// - A POLL on an open channel is answered with ACK(L); on one that is not open, not at all.
// - The open reply's sequence becomes the driver's receive sequence; the server numbers its
//   sequenced line data (SEQDATA) from the next one on, keeps up to `window` packets in flight
//   and resends all of them, oldest first, every `resendInterval` until an RXACK covers them.
//   An RXACK is taken only when it names a packet in flight (it covers that one and every one
//   before it); one naming nothing in flight (stale, repeated, made up) is refused. A window
//   of at most 7 keeps the sequences in flight distinct, and apart from the ones an RXACK still
//   on its way can name.
// - Sequenced line data waits while the channel is not open; what was in flight at a close or
//   a link-down is numbered afresh and sent again after the next open.
// Each refusal is counted in the snapshot and named in the packet's trace line.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "endpoint.h"
#include "fault_injector.h"
#include "line_settings.h"
#include "wire.h"

namespace devserver {

struct ProtocolOptions {
  uint8_t openSequence = 9;      // sequence of the open reply
  bool answerOpen = true;        // false: opens go unanswered (the driver's open times out)
  uint16_t openReplyLength = 3;  // the length field of the open reply (3 is what is accepted)
  bool answerClose = true;
  unsigned window = 4;  // sequenced packets in flight, 1..7
  std::chrono::milliseconds resendInterval{250};
  size_t maxPayload = kMaxPayload;  // payload bytes per line-data packet, 1..508
  // Offering: the line has bytes for the driver without end (a counting pattern, byte n of
  // the channel's stream being n modulo 256), so every opening of the window is filled at once.
  bool offerLineData = false;
};

// What a channel has seen and holds, for queries.
struct ChannelSnapshot {
  uint8_t number = 0;
  bool open = false;
  unsigned opens = 0;
  unsigned closes = 0;
  std::optional<Endpoint> peer;
  std::vector<uint8_t> written;  // every byte the driver wrote, once each, in order
  std::optional<LineSettings> settings;      // the newest block, from OPEN or SETTINGS
  std::optional<LineSettings> openSettings;  // the block of the last OPEN
  unsigned settingsPackets = 0;
  bool breakOn = false;
  unsigned breakOns = 0;
  unsigned breakOffs = 0;
  uint8_t lastDataSequence = 0;  // L: of the last DATA taken (or of the last OPEN)
  unsigned dataPackets = 0;      // every DATA received, taken or not
  unsigned dataRefusedRepeat = 0;      // carrying L: a retransmission of the one taken
  unsigned dataRefusedOutOfOrder = 0;  // a gap, a stale copy, or no sequence (0)
  unsigned dataRefusedClosed = 0;      // on a channel not open: not answered
  unsigned pollsAnswered = 0;
  unsigned pollsRefusedClosed = 0;  // on a channel not open: not answered
  unsigned pollsSent = 0;
  unsigned acksFromDriver = 0;
  unsigned rxAcks = 0;          // every RXACK received, taken or not
  unsigned rxAcksRefused = 0;   // naming no SEQDATA in flight
  uint8_t lastRxAckSequence = 0;  // of the last RXACK taken
  uint8_t lastSentSequence = 0;  // of the newest SEQDATA numbered
  unsigned seqDataSent = 0;      // first sendings
  unsigned seqDataResent = 0;
  size_t seqDataInFlight = 0;
  size_t lineBytesWaiting = 0;  // sequenced line bytes not yet in a packet
  size_t lineBytesAcknowledged = 0;
  unsigned unsequencedSent = 0;
  // Every link packet each way on the channel (the channel's own, before fault injection), and
  // the payload bytes of the data packets among them (DATA received; SEQDATA and DATA sent,
  // resendings included).
  unsigned packetsFromDriver = 0;
  unsigned packetsToDriver = 0;
  size_t dataBytesFromDriver = 0;
  unsigned dataPacketsToDriver = 0;
  size_t dataBytesToDriver = 0;
  std::vector<uint8_t> inFlightSequences;  // SEQDATA in flight, oldest first
  size_t inFlightBytes = 0;
  std::optional<Clock::time_point> inFlightSentAt;  // the oldest one's last sending
  size_t lineBytesLost = 0;  // unsequenced bytes with no peer to send them to
  size_t lineBytesOffered = 0;  // pattern bytes made up by offering
};

struct Effects {
  std::vector<Datagram> send;
  std::vector<uint8_t> toLine;
  std::vector<std::string> notes;
  std::optional<LineSettings> lineSettings;  // a block for the line (from OPEN or SETTINGS)
  std::optional<bool> lineBreak;             // break on or off for the line
  std::string verdict;  // why the packet given was refused, for its trace line ("" if taken)
};

class Channel {
 public:
  explicit Channel(uint8_t number) { state_.number = number; }

  void OnPacket(const Packet& packet, const Endpoint& from, Clock::time_point now,
                const ProtocolOptions& options, Effects& effects);
  // Line bytes for the driver, as SEQDATA (sequenced) or DATA.
  void QueueLineBytes(std::span<const uint8_t> bytes, bool sequenced, Clock::time_point now,
                      const ProtocolOptions& options, Effects& effects);
  void SendDown(Effects& effects);
  void SendPoll(Effects& effects);
  // An open reply as OnOpen sends one, though no OPEN came; the channel's state is unchanged.
  void SendOpenReply(const ProtocolOptions& options, Effects& effects);
  // Resends what is due at `now`.
  void OnTimer(Clock::time_point now, const ProtocolOptions& options, Effects& effects);
  std::optional<Clock::time_point> NextDeadline(const ProtocolOptions& options) const;

  // Where packets go before the driver has sent anything on this channel.
  void SetDefaultPeer(const Endpoint& peer) {
    if (!state_.peer) state_.peer = peer;
  }
  ChannelSnapshot Snapshot() const;
  uint8_t Number() const { return state_.number; }
  const std::vector<uint8_t>& Written() const { return state_.written; }

 private:
  struct InFlight {
    uint8_t sequence;
    std::vector<uint8_t> payload;
    Clock::time_point sentAt;
  };
  void Emit(Effects& effects, std::vector<uint8_t> bytes);
  void FillWindow(Clock::time_point now, const ProtocolOptions& options, Effects& effects);
  void OfferLineBytes(size_t count);
  void ReturnInFlightToOutbox();
  bool KnowsPeer(const char* what, Effects& effects);
  void OnData(const Packet& packet, Effects& effects);
  void OnClose(const ProtocolOptions& options, Effects& effects);
  void OnPoll(Effects& effects);
  void OnOpen(const Packet& packet, Clock::time_point now, const ProtocolOptions& options,
              Effects& effects);
  void OnRxAck(const Packet& packet, Clock::time_point now, const ProtocolOptions& options,
               Effects& effects);
  void RecordSettings(const Packet& packet, bool fromOpen, Effects& effects);
  std::string Name() const;

  ChannelSnapshot state_;
  std::deque<InFlight> inFlight_;
  std::deque<uint8_t> outbox_;
};

}  // namespace devserver
