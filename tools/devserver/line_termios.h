// What a settings block means for a real serial line, in termios terms.
#pragma once

#include <termios.h>

#include <cstdint>

#include "line_settings.h"

namespace devserver {

// The termios speed of a rate in bits per second; B0 for a rate it has none for.
speed_t SpeedOfRate(uint32_t rate);

// A line that carries bytes as they are: no echo, no translation, no line editing, the modem
// lines not waited for, and its own breaks and errors left out of the byte stream rather than
// turned into bytes (a break is ignored; parity is not checked, so bytes pass as received).
void MakeLineRaw(termios& mode);

// Rate (left as it is when the block's rate code names no rate), character size, parity,
// stop bits, RTS/CTS handshake (the mode word's RTS control) and XOFF sending when the
// receive side is full (the block's receive-side automatic flow control). A block has no way
// to say mark or space parity, so CMSPAR is always cleared.
void ApplyLineSettings(const LineSettings& settings, termios& mode);

}  // namespace devserver
