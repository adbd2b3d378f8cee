// One channel of the device server: its side of the link protocol, without sockets or threads.
// A packet from the driver, line bytes to send, or the passing of time go in; the datagrams to
// send, the bytes the driver wrote to the line and notes for people come out.
//
// Sequencing, as the server keeps it:
// - Driver data (DATA) is acknowledged with ACK carrying the packet's sequence, and taken only
//   in order: the packet that carries the sequence after the last one taken. One carrying the
//   last one's is a retransmission, any other a stale copy the network held back (a
//   retransmission overtaken by the next packet): both acknowledged again, their bytes not
//   delivered again. Sequence 0 carries no sequence and is always delivered.
// - The open reply's sequence becomes the driver's receive sequence; the server numbers its
//   sequenced line data (SEQDATA) from the next one on, keeps up to `window` packets in flight
//   and resends all of them, in order, every `resendInterval` until an RXACK naming one of them
//   covers it and every packet before it.
// - Sequenced line data waits while the channel is not open; what was in flight at a close or
//   a link-down is numbered afresh and sent again after the next open.
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
  bool tookData = false;
  uint8_t lastDataSequence = 0;  // of the last DATA taken (or of the last OPEN)
  unsigned dataPackets = 0;
  unsigned duplicateDataPackets = 0;  // retransmissions and stale copies, not taken
  unsigned pollsAnswered = 0;
  unsigned acksFromDriver = 0;
  unsigned rxAcks = 0;
  uint8_t lastRxAckSequence = 0;
  uint8_t lastSentSequence = 0;  // of the newest SEQDATA numbered
  unsigned seqDataSent = 0;      // first sendings
  unsigned seqDataResent = 0;
  size_t seqDataInFlight = 0;
  size_t lineBytesWaiting = 0;  // sequenced line bytes not yet in a packet
  size_t lineBytesAcknowledged = 0;
  unsigned unsequencedSent = 0;
  size_t lineBytesLost = 0;  // unsequenced bytes with no peer to send them to
  size_t lineBytesOffered = 0;  // pattern bytes made up by offering
};

struct Effects {
  std::vector<Datagram> send;
  std::vector<uint8_t> toLine;
  std::vector<std::string> notes;
  std::optional<LineSettings> lineSettings;  // a block for the line (from OPEN or SETTINGS)
  std::optional<bool> lineBreak;             // break on or off for the line
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
  void OnData(const Packet& packet, Effects& effects);
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
