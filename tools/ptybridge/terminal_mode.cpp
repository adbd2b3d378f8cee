// The termios2 requests. glibc's <termios.h> has no termios2, and the kernel's header of it
// collides with glibc's; the request codes need the structure by that name, so it is declared
// here with the kernel's layout.
#include "terminal_mode.h"

#include <sys/ioctl.h>

#include <cstring>

struct termios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[ptybridge::kControlChars];
  speed_t c_ispeed, c_ospeed;
};
static_assert(sizeof(termios2) == sizeof(ptybridge::TerminalMode));

namespace ptybridge {

bool ReadTerminalMode(int fd, TerminalMode& mode) {
  termios2 kernel;
  if (ioctl(fd, TCGETS2, &kernel) != 0) return false;
  std::memcpy(&mode, &kernel, sizeof mode);
  return true;
}

bool WriteTerminalMode(int fd, const TerminalMode& mode) {
  termios2 kernel;
  std::memcpy(&kernel, &mode, sizeof kernel);
  return ioctl(fd, TCSETS2, &kernel) == 0;
}

}  // namespace ptybridge
