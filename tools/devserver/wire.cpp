// Encoding and decoding of link packets on the device server's side.
#include "wire.h"

namespace devserver {

std::optional<Packet> Decode(std::span<const uint8_t> datagram) {
  if (datagram.size() < kHeaderSize) return std::nullopt;
  Packet packet;
  packet.type = datagram[0];
  packet.channel = datagram[1];
  const uint16_t word = static_cast<uint16_t>(datagram[2] | (datagram[3] << 8));
  packet.lengthField = word & kLengthMask;
  packet.sequence = static_cast<uint8_t>(word >> 12);
  // The payload is what the length field states, cut to what the datagram holds.
  size_t count = packet.lengthField > kHeaderSize ? packet.lengthField - kHeaderSize : 0;
  if (count > datagram.size() - kHeaderSize) count = datagram.size() - kHeaderSize;
  packet.payload.assign(datagram.begin() + kHeaderSize, datagram.begin() + kHeaderSize + count);
  return packet;
}

std::vector<uint8_t> EncodeHeader(uint8_t type, uint8_t channel, uint16_t lengthField,
                                  uint8_t sequence) {
  const uint16_t word =
      static_cast<uint16_t>((lengthField & kLengthMask) | ((sequence & 0x0F) << 12));
  return {type, channel, static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
}

std::vector<uint8_t> Encode(uint8_t type, uint8_t channel, uint8_t sequence,
                            std::span<const uint8_t> payload) {
  std::vector<uint8_t> bytes =
      EncodeHeader(type, channel, static_cast<uint16_t>(kHeaderSize + payload.size()), sequence);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

std::string TypeName(uint8_t type) {
  switch (type) {
    case kData: return "DATA";
    case kOpen: return "OPEN";
    case kClose: return "CLOSE";
    case kSettings: return "SETTINGS";
    case kAck: return "ACK";
    case kDown: return "DOWN";
    case kPoll: return "POLL";
    case kSeqData: return "SEQDATA";
    case kRxAck: return "RXACK";
    case kBreakOn: return "BREAK_ON";
    case kBreakOff: return "BREAK_OFF";
    default: return "TYPE" + std::to_string(type);
  }
}

}  // namespace devserver
