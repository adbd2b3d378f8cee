// Formatting of protocol trace records.
#include "trace.h"

#include <algorithm>
#include <cstdio>

#include "channel_number.h"
#include "wire.h"

namespace devserver {

TraceRecord MakeTraceRecord(double seconds, Direction direction, const Endpoint& peer,
                            std::span<const uint8_t> datagram, const std::string& fault,
                            const std::string& verdict) {
  TraceRecord r;
  r.seconds = seconds;
  r.direction = direction;
  r.peer = peer;
  r.size = datagram.size();
  r.fault = fault;
  r.verdict = verdict;
  char head[64];
  std::snprintf(head, sizeof head, "%11.6f %s %s ", seconds,
                direction == Direction::FromDriver ? "<-" : "->", peer.ToString().c_str());
  r.text = head;
  if (const std::optional<Packet> packet = Decode(datagram)) {
    r.decoded = true;
    r.type = packet->type;
    r.channel = packet->channel;
    r.lengthField = packet->lengthField;
    r.sequence = packet->sequence;
    r.payloadSize = packet->payload.size();
    char body[96];
    std::snprintf(body, sizeof body, "%s ch=%u [wire %u] len=%u seq=%u payload=%zu",
                  TypeName(r.type).c_str(), ChannelNumber(r.channel), r.channel, r.lengthField,
                  r.sequence, r.payloadSize);
    r.text += body;
    if (r.size != kHeaderSize + r.payloadSize) {
      r.text += " (datagram " + std::to_string(r.size) + " bytes)";
    }
  } else {
    r.text += "short datagram of " + std::to_string(r.size) + " bytes";
  }
  if (!fault.empty()) r.text += " [" + fault + "]";
  if (!verdict.empty()) r.text += " (" + verdict + ")";
  return r;
}

std::vector<std::string> PayloadLines(std::span<const uint8_t> datagram) {
  constexpr size_t kPerLine = 16;
  std::vector<std::string> lines;
  if (datagram.size() <= kHeaderSize) return lines;
  const std::span<const uint8_t> payload = datagram.subspan(kHeaderSize);
  for (size_t at = 0; at < payload.size(); at += kPerLine) {
    const std::span<const uint8_t> row = payload.subspan(at, std::min(kPerLine, payload.size() - at));
    char offset[40];
    std::snprintf(offset, sizeof offset, "%15s%04x ", "", static_cast<unsigned>(at & 0xFFFF));
    std::string hex = offset;
    std::string text;
    for (const uint8_t byte : row) {
      char pair[4];
      std::snprintf(pair, sizeof pair, " %02x", byte);
      hex += pair;
      text.push_back(byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.');
    }
    hex.append(3 * (kPerLine - row.size()), ' ');
    lines.push_back(hex + "  " + text);
  }
  return lines;
}

}  // namespace devserver
