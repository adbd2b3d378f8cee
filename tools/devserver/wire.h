// The link protocol as the device server speaks it: packet types, the 4-byte header (type,
// channel, 16-bit little-endian word of 12-bit total length and 4-bit sequence) and the
// sequence arithmetic. This is the server's own codec, written for the far end of the link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace devserver {

enum PacketType : uint8_t {
  kData = 0,
  kOpen = 1,
  kClose = 2,
  kSettings = 3,
  kAck = 4,
  kDown = 5,
  kPoll = 7,
  kSeqData = 10,
  kRxAck = 11,
  kBreakOn = 12,
  kBreakOff = 13,
};

constexpr size_t kHeaderSize = 4;
// The largest datagram the driver takes, and so the largest payload the server sends.
constexpr size_t kMaxDatagram = 512;
constexpr size_t kMaxPayload = kMaxDatagram - kHeaderSize;
constexpr uint16_t kLengthMask = 0x0FFF;
constexpr uint16_t kLinkPort = 519;

// One decoded datagram. `lengthField` is what the header states; `payload` holds the bytes
// that are really there, at most lengthField - 4 of them.
struct Packet {
  uint8_t type = 0;
  uint8_t channel = 0;
  uint16_t lengthField = 0;
  uint8_t sequence = 0;
  std::vector<uint8_t> payload;
};

// The header of a datagram, or nothing when it is shorter than a header.
std::optional<Packet> Decode(std::span<const uint8_t> datagram);

// A packet whose length field states its true size (header + payload).
std::vector<uint8_t> Encode(uint8_t type, uint8_t channel, uint8_t sequence,
                            std::span<const uint8_t> payload = {});
// A header with an arbitrary length field (the open reply states 3 in a 4-byte datagram).
std::vector<uint8_t> EncodeHeader(uint8_t type, uint8_t channel, uint16_t lengthField,
                                  uint8_t sequence);

// Sequence numbers run 1..15; NextSeq(15) and NextSeq(0) are 1.
constexpr uint8_t NextSeq(uint8_t sequence) {
  return static_cast<uint8_t>(sequence + 1 > 15 ? 1 : sequence + 1);
}

// "OPEN", "SEQDATA"... or "TYPE<n>" for values the protocol does not define.
std::string TypeName(uint8_t type);

}  // namespace devserver
