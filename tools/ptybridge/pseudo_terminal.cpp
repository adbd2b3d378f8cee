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
#include <climits>
#include <cstdio>
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

bool PseudoTerminal::GiveTo(const TerminalAccess& access) {
  if (fchown(terminal_, access.owner, access.group) == 0 && fchmod(terminal_, access.mode) == 0) return true;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(access.mode));
  error_ = path_ + ": owner " + std::to_string(access.owner) + ":" + std::to_string(access.group) + ", mode " +
           mode + ": " + std::strerror(errno);
  return false;
}

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

namespace {

// Names tried for the new link beside the old one: ".COM3.<pid>.<n>".
constexpr int kTemporaryNames = 16;

// Where the link at `path` leads; "" when it is not a link.
std::string LinkTarget(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string TemporaryName(const std::string& link, int attempt) {
  const size_t slash = link.rfind('/') + 1;  // npos + 1 == 0: a name without a directory
  return link.substr(0, slash) + "." + link.substr(slash) + "." + std::to_string(getpid()) + "." +
         std::to_string(attempt);
}

}  // namespace

bool PointLink(const std::string& link, const std::string& target, std::string* error) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0) {
    if (!S_ISLNK(existing.st_mode)) {
      *error = link + " exists and is not a link; it is left as it is";
      return false;
    }
    const std::string old = LinkTarget(link);
    if (old.rfind("/dev/pts/", 0) != 0) {
      *error = link + " is a link to " + old + ", not to a pseudo-terminal; it is left as it is";
      return false;
    }
  }
  for (int attempt = 0; attempt < kTemporaryNames; ++attempt) {
    const std::string temporary = TemporaryName(link, attempt);
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
      if (errno == EEXIST) continue;  // another's: tried under the next name
      *error = "link " + link + " -> " + target + ": " + std::strerror(errno);
      return false;
    }
    if (rename(temporary.c_str(), link.c_str()) == 0) return true;
    *error = "link " + link + " -> " + target + ": " + std::strerror(errno);
    unlink(temporary.c_str());  // this process's own, just made
    return false;
  }
  *error = "link " + link + ": the names for a new link beside it are all taken";
  return false;
}

void RemoveLink(const std::string& link, const std::string& target) {
  if (LinkTarget(link) == target) unlink(link.c_str());
}

}  // namespace ptybridge
