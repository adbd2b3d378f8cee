// The server's side of the link protocol on one channel.
#include "channel.h"

#include "channel_number.h"

#include <algorithm>

namespace devserver {

std::string Channel::Name() const { return ChannelName(state_.number); }

void Channel::Emit(Effects& effects, std::vector<uint8_t> bytes) {
  ++state_.packetsToDriver;
  if (bytes[0] == kSeqData || bytes[0] == kData) {
    ++state_.dataPacketsToDriver;
    state_.dataBytesToDriver += bytes.size() - kHeaderSize;
  }
  effects.send.push_back(Datagram{*state_.peer, std::move(bytes), {}});
}

void Channel::OnPacket(const Packet& packet, const Endpoint& from, Clock::time_point now,
                       const ProtocolOptions& options, Effects& effects) {
  state_.peer = from;
  ++state_.packetsFromDriver;
  switch (packet.type) {
    case kData:
      OnData(packet, effects);
      break;
    case kOpen:
      OnOpen(packet, now, options, effects);
      break;
    case kClose:
      OnClose(options, effects);
      break;
    case kSettings:
      RecordSettings(packet, false, effects);
      break;
    case kAck:
      ++state_.acksFromDriver;
      break;
    case kPoll:
      OnPoll(effects);
      break;
    case kRxAck:
      OnRxAck(packet, now, options, effects);
      break;
    case kBreakOn:
      state_.breakOn = true;
      effects.lineBreak = true;
      ++state_.breakOns;
      effects.notes.push_back(Name() + " break on");
      break;
    case kBreakOff:
      state_.breakOn = false;
      effects.lineBreak = false;
      ++state_.breakOffs;
      effects.notes.push_back(Name() + " break off");
      break;
    default:
      // DOWN, SEQDATA and undefined types are never sent by the driver.
      effects.verdict = "ignored: not a packet a driver sends";
      break;
  }
}

void Channel::OnData(const Packet& packet, Effects& effects) {
  ++state_.dataPackets;
  state_.dataBytesFromDriver += packet.payload.size();
  if (!state_.open) {
    ++state_.dataRefusedClosed;
    effects.verdict = "refused: channel not open, not answered";
    return;
  }
  const uint8_t expected = NextSeq(state_.lastDataSequence);
  if (packet.sequence != 0 && packet.sequence == expected) {
    state_.written.insert(state_.written.end(), packet.payload.begin(), packet.payload.end());
    effects.toLine.insert(effects.toLine.end(), packet.payload.begin(), packet.payload.end());
    state_.lastDataSequence = packet.sequence;
  } else if (packet.sequence != 0 && packet.sequence == state_.lastDataSequence) {
    ++state_.dataRefusedRepeat;
    effects.verdict = "refused: repeat of the last taken";
  } else {
    ++state_.dataRefusedOutOfOrder;
    effects.verdict = "refused: out of order, " + std::to_string(expected) + " expected";
  }
  Emit(effects, Encode(kAck, state_.number, state_.lastDataSequence));
}

void Channel::OnPoll(Effects& effects) {
  if (!state_.open) {
    ++state_.pollsRefusedClosed;
    effects.verdict = "refused: channel not open, not answered";
    return;
  }
  ++state_.pollsAnswered;
  Emit(effects, Encode(kAck, state_.number, state_.lastDataSequence));
}

void Channel::OnOpen(const Packet& packet, Clock::time_point now, const ProtocolOptions& options,
                     Effects& effects) {
  ++state_.opens;
  RecordSettings(packet, true, effects);
  if (!options.answerOpen) {
    effects.verdict = "not answered: opens are left unanswered";
    return;
  }
  // The open's sequence is the driver's data sequence from here on: its first data packet
  // carries the next one, and a poll before any data is answered with this one.
  state_.lastDataSequence = packet.sequence;
  state_.open = true;
  Emit(effects, EncodeHeader(kOpen, state_.number, options.openReplyLength, options.openSequence));
  // Sequenced data is numbered afresh from the reply's sequence.
  ReturnInFlightToOutbox();
  state_.lastSentSequence = options.openSequence;
  FillWindow(now, options, effects);
}

void Channel::OnClose(const ProtocolOptions& options, Effects& effects) {
  state_.open = false;
  ++state_.closes;
  ReturnInFlightToOutbox();
  effects.notes.push_back(Name() + " closed");
  if (options.answerClose) Emit(effects, Encode(kClose, state_.number, 0));
}

void Channel::RecordSettings(const Packet& packet, bool fromOpen, Effects& effects) {
  if (!fromOpen) ++state_.settingsPackets;
  const std::optional<LineSettings> decoded = DecodeLineSettings(packet.payload);
  if (!decoded) {
    effects.notes.push_back(Name() + (fromOpen ? " opened" : " settings") + " with a " +
                            std::to_string(packet.payload.size()) + "-byte block (not decoded)");
    return;
  }
  state_.settings = decoded;
  effects.lineSettings = decoded;
  if (fromOpen) state_.openSettings = decoded;
  effects.notes.push_back(Name() + (fromOpen ? " opened: " : " settings: ") + decoded->Describe());
}

void Channel::OnRxAck(const Packet& packet, Clock::time_point now, const ProtocolOptions& options,
                      Effects& effects) {
  ++state_.rxAcks;
  // The acknowledgement covers the packet it names and every packet sent before it. A
  // sequence that names no packet in flight (stale, repeated, made up) changes nothing.
  const auto named = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const InFlight& f) {
    return f.sequence == packet.sequence;
  });
  if (named == inFlight_.end()) {
    ++state_.rxAcksRefused;
    effects.verdict = "refused: names nothing in flight";
    return;
  }
  state_.lastRxAckSequence = packet.sequence;
  for (auto it = inFlight_.begin(); it != named + 1; ++it) {
    state_.lineBytesAcknowledged += it->payload.size();
  }
  inFlight_.erase(inFlight_.begin(), named + 1);
  FillWindow(now, options, effects);
}

void Channel::ReturnInFlightToOutbox() {
  for (auto it = inFlight_.rbegin(); it != inFlight_.rend(); ++it) {
    outbox_.insert(outbox_.begin(), it->payload.begin(), it->payload.end());
  }
  inFlight_.clear();
}

void Channel::FillWindow(Clock::time_point now, const ProtocolOptions& options, Effects& effects) {
  if (!state_.open || !state_.peer) return;
  const size_t window = std::clamp<size_t>(options.window, 1, 7);
  const size_t chunkLimit = std::clamp<size_t>(options.maxPayload, 1, kMaxPayload);
  while (inFlight_.size() < window) {
    if (options.offerLineData && outbox_.size() < chunkLimit) {
      OfferLineBytes(chunkLimit - outbox_.size());
    }
    if (outbox_.empty()) break;
    const size_t count = std::min(chunkLimit, outbox_.size());
    InFlight packet{NextSeq(state_.lastSentSequence),
                    std::vector<uint8_t>(outbox_.begin(), outbox_.begin() + count), now};
    outbox_.erase(outbox_.begin(), outbox_.begin() + count);
    state_.lastSentSequence = packet.sequence;
    ++state_.seqDataSent;
    Emit(effects, Encode(kSeqData, state_.number, packet.sequence, packet.payload));
    inFlight_.push_back(std::move(packet));
  }
}

void Channel::OfferLineBytes(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    outbox_.push_back(static_cast<uint8_t>(state_.lineBytesOffered++));
  }
}

void Channel::QueueLineBytes(std::span<const uint8_t> bytes, bool sequenced, Clock::time_point now,
                             const ProtocolOptions& options, Effects& effects) {
  if (bytes.empty()) return;
  if (sequenced) {
    outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
    FillWindow(now, options, effects);
    return;
  }
  if (!state_.peer) {
    state_.lineBytesLost += bytes.size();
    effects.notes.push_back(Name() + ": no driver address known, " +
                            std::to_string(bytes.size()) + " line bytes lost");
    return;
  }
  const size_t chunkLimit = std::clamp<size_t>(options.maxPayload, 1, kMaxPayload);
  for (size_t offset = 0; offset < bytes.size(); offset += chunkLimit) {
    const size_t count = std::min(chunkLimit, bytes.size() - offset);
    ++state_.unsequencedSent;
    Emit(effects, Encode(kData, state_.number, 0, bytes.subspan(offset, count)));
  }
}

bool Channel::KnowsPeer(const char* what, Effects& effects) {
  if (state_.peer) return true;
  effects.notes.push_back(Name() + ": no driver address known, " + what + " not sent");
  return false;
}

void Channel::SendDown(Effects& effects) {
  if (!KnowsPeer("DOWN", effects)) return;
  state_.open = false;
  ReturnInFlightToOutbox();
  effects.notes.push_back(Name() + " went down: DOWN sent, closed");
  Emit(effects, Encode(kDown, state_.number, 0));
}

void Channel::SendPoll(Effects& effects) {
  if (!KnowsPeer("POLL", effects)) return;
  ++state_.pollsSent;
  Emit(effects, Encode(kPoll, state_.number, state_.lastSentSequence));
}

void Channel::SendOpenReply(const ProtocolOptions& options, Effects& effects) {
  if (!KnowsPeer("open reply", effects)) return;
  effects.notes.push_back(Name() + ": an open reply sent though no OPEN came");
  Emit(effects, EncodeHeader(kOpen, state_.number, options.openReplyLength, options.openSequence));
}

void Channel::OnTimer(Clock::time_point now, const ProtocolOptions& options, Effects& effects) {
  if (!state_.open || !state_.peer || inFlight_.empty()) return;
  if (now < inFlight_.front().sentAt + options.resendInterval) return;
  // Go back to the oldest unacknowledged packet: the driver takes only the next in order.
  for (InFlight& packet : inFlight_) {
    packet.sentAt = now;
    ++state_.seqDataResent;
    Emit(effects, Encode(kSeqData, state_.number, packet.sequence, packet.payload));
  }
}

std::optional<Clock::time_point> Channel::NextDeadline(const ProtocolOptions& options) const {
  if (!state_.open || !state_.peer || inFlight_.empty()) return std::nullopt;
  return inFlight_.front().sentAt + options.resendInterval;
}

ChannelSnapshot Channel::Snapshot() const {
  ChannelSnapshot copy = state_;
  copy.seqDataInFlight = inFlight_.size();
  copy.lineBytesWaiting = outbox_.size();
  for (const InFlight& packet : inFlight_) {
    copy.inFlightSequences.push_back(packet.sequence);
    copy.inFlightBytes += packet.payload.size();
  }
  if (!inFlight_.empty()) copy.inFlightSentAt = inFlight_.front().sentAt;
  return copy;
}

}  // namespace devserver
