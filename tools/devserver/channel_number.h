// The two ways of naming a channel. The wire carries a byte, 0 to 255; the registry, people and
// everything they type or read number the same channel from 1 to 256 ("StartNum<n>" of the
// driver's configuration): number = wire byte + 1. The server's library takes and keeps the
// wire byte; its options, commands, trace, notes and status show the number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace devserver {

constexpr unsigned kFirstChannel = 1;
constexpr unsigned kLastChannel = 256;

// The number people use for the channel on wire byte `wire`.
constexpr unsigned ChannelNumber(uint8_t wire) { return wire + 1u; }

// The wire byte of channel `number`; nothing for a number outside 1 to 256.
constexpr std::optional<uint8_t> WireChannel(uint64_t number) {
  if (number < kFirstChannel || number > kLastChannel) return std::nullopt;
  return static_cast<uint8_t>(number - 1);
}

// "ch 1": the channel on wire byte `wire`, as notes and the status name it.
inline std::string ChannelName(uint8_t wire) { return "ch " + std::to_string(ChannelNumber(wire)); }

}  // namespace devserver
