// Decoding of the line-settings block.
#include "line_settings.h"

#include <cstdio>

namespace devserver {

namespace {

uint16_t Word(std::span<const uint8_t> block, size_t offset) {
  return static_cast<uint16_t>(block[offset] | (block[offset + 1] << 8));
}

}  // namespace

uint32_t BaudRateOfCode(uint8_t code) {
  switch (code) {
    case 0x3: return 110;
    case 0x7: return 300;
    case 0x8: return 600;
    case 0x9: return 1200;
    case 0xB: return 2400;
    case 0xC: return 4800;
    case 0xD: return 9600;
    case 0xE: return 19200;
    case 0xF: return 38400;
    case 0x2: return 57600;
    case 0x5: return 115200;
    default: return 0;
  }
}

std::optional<LineSettings> DecodeLineSettings(std::span<const uint8_t> block) {
  if (block.size() != kSettingsBlockSize) return std::nullopt;
  LineSettings s;
  for (size_t i = 0; i < kSettingsBlockSize; ++i) s.raw[i] = block[i];
  s.word0 = Word(block, 0);
  s.word1 = Word(block, 2);
  s.modeWord = Word(block, 4);
  s.flowWord = Word(block, 6);
  s.settingsByte = block[8];
  for (size_t i = 0; i < s.chars.size(); ++i) s.chars[i] = block[9 + i];
  s.padding = block[17];

  s.baudCode = s.modeWord & 0x0F;
  s.baudRate = BaudRateOfCode(s.baudCode);
  s.dataBits = 5 + ((s.modeWord >> 4) & 0x3);
  const bool extraStop = (s.modeWord & 0x0040) != 0;
  s.stopHalves = !extraStop ? 2 : (s.dataBits == 5 ? 3 : 4);
  if ((s.modeWord & 0x0100) == 0) {
    s.parity = 'N';
  } else {
    s.parity = (s.modeWord & 0x0200) != 0 ? 'O' : 'E';
  }
  // Both bits 10 and 12 are set together; either one alone is taken as the flow control on.
  s.receiveAutoFlow = (s.word0 & 0x1400) != 0;
  s.rtsHandshake = (s.modeWord & 0x0800) == 0;
  s.eventCharWait = s.flowWord == 0x0081;
  s.eventChar = s.chars[0];
  return s;
}

std::string LineSettings::Describe() const {
  const char* stop = stopHalves == 2 ? "1" : stopHalves == 3 ? "1.5" : "2";
  char rate[32];
  if (baudRate != 0) {
    std::snprintf(rate, sizeof rate, "%u", baudRate);
  } else {
    std::snprintf(rate, sizeof rate, "code0x%X(no rate)", baudCode);
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "%s %u%c%s rts=%s rxflow=%s flow=0x%04X%s mode=0x%04X word0=0x%04X "
                "chars=%02X %02X %02X %02X %02X %02X %02X %02X",
                rate, dataBits, parity, stop, rtsHandshake ? "handshake" : "other",
                receiveAutoFlow ? "on" : "off", flowWord,
                eventCharWait ? " (event-char wait)" : "", modeWord, word0, chars[0], chars[1],
                chars[2], chars[3], chars[4], chars[5], chars[6], chars[7]);
  return text;
}

}  // namespace devserver
