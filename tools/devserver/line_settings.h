// The 18-byte line-settings block the driver sends with OPEN and SETTINGS, decoded into what
// the serial line at the server's end would be set to.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace devserver {

constexpr size_t kSettingsBlockSize = 18;

struct LineSettings {
  std::array<uint8_t, kSettingsBlockSize> raw{};
  uint16_t word0 = 0;     // bytes 0-1: receive-side automatic flow control in bits 10 and 12
  uint16_t word1 = 0;     // bytes 2-3
  uint16_t modeWord = 0;  // bytes 4-5: rate code, word length, stop bits, parity, RTS control
  uint16_t flowWord = 0;  // bytes 6-7: 0x8000 normally, 0x0081 with an event-character wait
  uint8_t settingsByte = 0;
  std::array<uint8_t, 8> chars{};  // bytes 9-16
  uint8_t padding = 0;             // byte 17

  uint8_t baudCode = 0;
  uint32_t baudRate = 0;  // 0 when the code names no rate
  unsigned dataBits = 8;
  // Stop bits in halves: 2 = one, 3 = one and a half, 4 = two.
  unsigned stopHalves = 2;
  char parity = 'N';  // 'N' none, 'O' odd, 'E' even (mark and space are not told apart)
  bool receiveAutoFlow = false;
  bool rtsHandshake = false;
  bool eventCharWait = false;
  uint8_t eventChar = 0;

  // "38400 8N1 rts=handshake rxflow=off flow=0x8000 ..." in one line.
  std::string Describe() const;
};

// Decodes a block; nothing when it is not exactly 18 bytes.
std::optional<LineSettings> DecodeLineSettings(std::span<const uint8_t> block);

// The rate in bits per second of a 4-bit rate code, 0 for codes that name none.
uint32_t BaudRateOfCode(uint8_t code);

}  // namespace devserver
