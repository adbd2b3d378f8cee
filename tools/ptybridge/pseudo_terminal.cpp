// The pseudo-terminal pair of a bridged COM port, and the stable link to its terminal side.
#include "pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ptybridge {

bool PseudoTerminal::Fail(const std::string& what) {
  error_ = what + ": " + std::strerror(errno);
  if (terminal_ >= 0) close(terminal_);
  if (master_ >= 0) close(master_);
  terminal_ = master_ = -1;
  return false;
}

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) {
    Fail("posix_openpt");
    return;
  }
  char path[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, path, sizeof path) != 0) {
    Fail("pseudo-terminal setup");
    return;
  }
  path_ = path;
  int packet = 1;
  if (ioctl(master_, TIOCPKT, &packet) != 0) {
    Fail("packet mode");
    return;
  }
  terminal_ = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal_ < 0) {
    Fail("open " + path_);
    return;
  }
  TerminalMode mode;
  if (!Mode(mode)) Fail("settings of " + path_);
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) close(master_);
  if (terminal_ >= 0) close(terminal_);
}

bool PseudoTerminal::Mode(TerminalMode& mode) {
  if (!ReadTerminalMode(master_, mode)) return false;
  if (mode.c_lflag & EXTPROC) return true;
  mode.c_lflag |= EXTPROC;
  return WriteTerminalMode(master_, mode);
}

bool PseudoTerminal::SetMode(const TerminalMode& mode) { return WriteTerminalMode(master_, mode); }

bool PseudoTerminal::SetExclusive(bool exclusive) {
  return ioctl(terminal_, exclusive ? TIOCEXCL : TIOCNXCL) == 0;
}

bool PseudoTerminal::HoldOutput(bool hold) { return tcflow(terminal_, hold ? TCOOFF : TCOON) == 0; }

bool PseudoTerminal::DiscardInput() { return tcflush(terminal_, TCIFLUSH) == 0; }

bool PseudoTerminal::FlushInput() {
  if (!DiscardInput()) return false;
  uint8_t report;
  [[maybe_unused]] const ssize_t n = read(master_, &report, 1);  // a report alone, or no byte
  return true;
}

PseudoTerminal::Input PseudoTerminal::Read(size_t limit) {
  Input input;
  uint8_t buffer[kTerminalReadSize + 1];
  const ssize_t n = read(master_, buffer, std::min(limit, kTerminalReadSize) + 1);
  if (n <= 0) return input;
  input.read = true;
  if (buffer[0] == TIOCPKT_DATA) {
    input.bytes.assign(buffer + 1, buffer + n);
  } else {
    input.settingsChanged = (buffer[0] & TIOCPKT_IOCTL) != 0;
    input.inputFlushed = (buffer[0] & TIOCPKT_FLUSHREAD) != 0;
    input.outputFlushed = (buffer[0] & TIOCPKT_FLUSHWRITE) != 0;
  }
  return input;
}

size_t PseudoTerminal::Write(const uint8_t* bytes, size_t count) {
  const ssize_t n = write(master_, bytes, count);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool PointLink(const std::string& link, const std::string& target, std::string* error) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    *error = link + " exists and is not a link";
    return false;
  }
  const std::string temporary = link + ".new";
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), link.c_str()) != 0) {
    *error = "link " + link + " -> " + target + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace ptybridge
