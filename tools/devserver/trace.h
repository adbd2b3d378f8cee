// The protocol trace: one record per datagram in each direction, decoded, with the time since
// the server started.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "endpoint.h"

namespace devserver {

enum class Direction { FromDriver, ToDriver };

struct TraceRecord {
  double seconds = 0;  // since the server started
  Direction direction = Direction::FromDriver;
  Endpoint peer;
  size_t size = 0;       // datagram bytes
  bool decoded = false;  // false for a datagram shorter than a header
  uint8_t type = 0;
  uint8_t channel = 0;  // the wire byte
  uint16_t lengthField = 0;
  uint8_t sequence = 0;
  size_t payloadSize = 0;
  std::string fault;    // what fault injection did to it, "" when nothing
  std::string verdict;  // why the server refused the packet, "" when it took it
  std::string text;     // the line people read
  // With ServerOptions::traceBytes, the payload as hex and text, 16 bytes a line (PayloadLines).
  std::vector<std::string> bytes;
};

// "   1.234567 <- 127.0.0.1:519 DATA ch=3 [wire 2] len=7 seq=4 payload=3 [duplicate] (refused: ...)":
// the channel by its number (the registry's, 1 to 256) and its wire byte.
TraceRecord MakeTraceRecord(double seconds, Direction direction, const Endpoint& peer,
                            std::span<const uint8_t> datagram, const std::string& fault,
                            const std::string& verdict = "");

// The payload of a datagram (what follows its 4-byte header), 16 bytes a line, each line its
// offset, the bytes in hex and as text (a dot for a byte that is not printable ASCII), indented
// under its trace line:
// "               0000  74 65 73 73 61 63 6f 6d 20 63 61 72 72 69 65 73  tessacom carries"
std::vector<std::string> PayloadLines(std::span<const uint8_t> datagram);

}  // namespace devserver
