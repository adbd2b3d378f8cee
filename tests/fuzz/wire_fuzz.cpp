// Fuzz target: the device server emulator's side of the link. Any datagrams from the driver,
// line bytes and the passing of time go into one channel through the wire parser; every
// datagram is traced; what the channel sends must be well-formed packets within the protocol's
// limits, and no line byte is lost or made up. Driver data is taken only in order on an open
// channel; a DATA or POLL there is answered with one ACK naming the last sequence taken after
// it, and on a channel not open with nothing.
//
// Input: option bytes (window, largest payload as a 16-bit number, open-reply byte: bits 0-3
// the reply's sequence, 0x10 no reply, 0x20 no close reply, 0x40 length field 4), then steps,
// each a byte and its operands: 0 a datagram from the driver (16-bit length, bytes; 0x08 in the
// step byte: from a second address), 1 and 2 sequenced and unsequenced line bytes (16-bit
// length, bytes), 3 time passing (one byte of 10-ms units), 4 link down, 5 poll (0x08 in the
// step byte: an open reply no OPEN asked for).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include "channel.h"
#include "fuzz_support.h"
#include "trace.h"
#include "wire.h"

namespace {

using namespace devserver;

constexpr uint8_t kChannel = 3;
constexpr int kMaxSteps = 256;

ProtocolOptions ReadOptions(fuzz::Input& in) {
  const unsigned window = 1 + in.Byte() % 7;
  const size_t maxPayload = 1 + in.Word() % kMaxPayload;
  const uint8_t reply = in.Byte();
  return {.openSequence = static_cast<uint8_t>(reply & 0x0F), .answerOpen = (reply & 0x10) == 0,
          .openReplyLength = static_cast<uint16_t>((reply & 0x40) ? 4 : 3), .answerClose = (reply & 0x20) == 0,
          .window = window, .maxPayload = maxPayload};
}

void CheckTrace(Direction direction, std::span<const uint8_t> datagram) {
  const TraceRecord record = MakeTraceRecord(1.5, direction, Endpoint{0x7F000001, kLinkPort}, datagram, "");
  FUZZ_CHECK(record.decoded == (datagram.size() >= kHeaderSize));
  FUZZ_CHECK(record.text.find('\n') == std::string::npos);
}

// The decoded payload is what the length field states, cut to the datagram.
void CheckDecode(std::span<const uint8_t> datagram) {
  const std::optional<Packet> packet = Decode(datagram);
  FUZZ_CHECK(packet.has_value() == (datagram.size() >= kHeaderSize));
  if (!packet) return;
  const size_t stated = packet->lengthField > kHeaderSize ? packet->lengthField - kHeaderSize : 0;
  FUZZ_CHECK(packet->payload.size() == std::min(stated, datagram.size() - kHeaderSize));
  FUZZ_CHECK(std::equal(packet->payload.begin(), packet->payload.end(), datagram.begin() + kHeaderSize));
  const std::vector<uint8_t> again = Encode(packet->type, packet->channel, packet->sequence, packet->payload);
  if (packet->lengthField == datagram.size()) {
    FUZZ_CHECK(std::equal(again.begin(), again.end(), datagram.begin(), datagram.end()));
  }
}

// What the server sends: whole packets on its channel, none over the largest datagram, line
// data in chunks of at most the largest payload, sequenced data numbered 1 to 15.
void CheckSent(const Effects& effects, const ProtocolOptions& options) {
  for (const Datagram& datagram : effects.send) {
    CheckTrace(Direction::ToDriver, datagram.bytes);
    const std::optional<Packet> packet = Decode(datagram.bytes);
    FUZZ_CHECK(packet.has_value() && datagram.bytes.size() <= kMaxDatagram);
    FUZZ_CHECK(packet->channel == kChannel);
    if (packet->type == kOpen) {
      FUZZ_CHECK(packet->lengthField == options.openReplyLength && packet->sequence == options.openSequence);
      continue;
    }
    FUZZ_CHECK(packet->lengthField == datagram.bytes.size());
    if (packet->type == kData || packet->type == kSeqData) {
      FUZZ_CHECK(!packet->payload.empty() && packet->payload.size() <= options.maxPayload);
    }
    if (packet->type == kSeqData) FUZZ_CHECK(packet->sequence >= 1 && packet->sequence <= 15);
  }
}

// What a DATA or POLL from the driver did: `before` and `after` are the channel around it.
void CheckAnswer(const Packet& packet, const ChannelSnapshot& before, const ChannelSnapshot& after,
                 const Effects& effects) {
  if (packet.type != kData && packet.type != kPoll) return;
  if (!before.open) {
    FUZZ_CHECK(effects.send.empty() && after.written.size() == before.written.size());
    return;
  }
  FUZZ_CHECK(effects.send.size() == 1);
  const std::optional<Packet> answer = Decode(effects.send[0].bytes);
  FUZZ_CHECK(answer->type == kAck && answer->sequence == after.lastDataSequence);
  const bool next = packet.type == kData && packet.sequence != 0 && packet.sequence == NextSeq(before.lastDataSequence);
  FUZZ_CHECK(after.written.size() == before.written.size() + (next ? packet.payload.size() : 0));
  FUZZ_CHECK(after.lastDataSequence == (next ? packet.sequence : before.lastDataSequence));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const ProtocolOptions options = ReadOptions(in);
  Channel channel(kChannel);
  Clock::time_point now{};
  size_t sequencedQueued = 0;
  ChannelSnapshot state = channel.Snapshot();
  for (int step = 0; step < kMaxSteps && !in.AtEnd(); ++step) {
    Effects effects;
    const uint8_t op = in.Byte();
    switch (op % 6) {
      case 0: {
        const std::span<const uint8_t> datagram = in.Frame(2 * kMaxDatagram);
        CheckTrace(Direction::FromDriver, datagram);
        CheckDecode(datagram);
        const Endpoint from{(op & 0x08) ? 0x7F000002u : 0x7F000001u, kLinkPort};
        if (auto packet = Decode(datagram)) {
          channel.OnPacket(*packet, from, now, options, effects);
          CheckAnswer(*packet, state, channel.Snapshot(), effects);
        }
        break;
      }
      case 1:
      case 2: {
        const std::span<const uint8_t> bytes = in.Frame(4 * kMaxDatagram);
        if (op % 6 == 1) sequencedQueued += bytes.size();
        channel.QueueLineBytes(bytes, op % 6 == 1, now, options, effects);
        break;
      }
      case 3: now += std::chrono::milliseconds(10 * in.Byte()); channel.OnTimer(now, options, effects); break;
      case 4: channel.SendDown(effects); break;
      default: (op & 0x08) ? channel.SendOpenReply(options, effects) : channel.SendPoll(effects); break;
    }
    CheckSent(effects, options);
    const size_t written = state.written.size();
    state = channel.Snapshot();
    FUZZ_CHECK(state.seqDataInFlight <= options.window);
    FUZZ_CHECK(state.lineBytesAcknowledged + state.lineBytesWaiting <= sequencedQueued);
    if (state.seqDataInFlight == 0) FUZZ_CHECK(state.lineBytesAcknowledged + state.lineBytesWaiting == sequencedQueued);
    FUZZ_CHECK(state.written.size() >= written);
  }
  return 0;
}
