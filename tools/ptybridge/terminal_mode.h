// A pseudo-terminal's settings as the kernel keeps them (the termios2 layout, whose rates are
// numbers, so that a rate set by number is told apart from the named ones).
#pragma once

#include <termios.h>

#include <cstdint>

namespace ptybridge {

constexpr int kControlChars = 19;

struct TerminalMode {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[kControlChars];
  speed_t c_ispeed;
  speed_t c_ospeed;
};

// Reads or writes the terminal side's settings through either side of the pair.
bool ReadTerminalMode(int fd, TerminalMode& mode);
bool WriteTerminalMode(int fd, const TerminalMode& mode);

}  // namespace ptybridge
