// The pseudo-terminal pair of a bridged COM port, and the stable link to its terminal side.
#include "pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ptybridge {

namespace {

constexpr size_t kReadSize = 4096;

}  // namespace

bool PseudoTerminal::Fail(const std::string& what) {
  error_ = what + ": " + std::strerror(errno);
  if (watch_ >= 0) close(watch_);
  if (master_ >= 0) close(master_);
  watch_ = master_ = -1;
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
  const int terminal = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) {
    Fail("open " + path_);
    return;
  }
  close(terminal);  // from now on the master reports a hang-up while no program holds it
  TerminalMode mode;
  if (!Mode(mode)) {
    Fail("settings of " + path_);
    return;
  }
  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ < 0 || inotify_add_watch(watch_, path, IN_OPEN | IN_CLOSE) < 0) Fail("watch " + path_);
}

PseudoTerminal::~PseudoTerminal() {
  if (watch_ >= 0) close(watch_);
  if (master_ >= 0) close(master_);
}

void PseudoTerminal::DrainWatch() {
  char events[4096];
  while (read(watch_, events, sizeof events) > 0) {
  }
}

bool PseudoTerminal::Held() const {
  pollfd p{master_, 0, 0};
  return poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

bool PseudoTerminal::MakeExclusive() {
  const int terminal = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal < 0) return false;
  const bool done = ioctl(terminal, TIOCEXCL) == 0;
  close(terminal);
  return done;
}

bool PseudoTerminal::Mode(TerminalMode& mode) {
  if (!ReadTerminalMode(master_, mode)) return false;
  if (mode.c_lflag & EXTPROC) return true;
  TerminalMode reporting = mode;
  reporting.c_lflag |= EXTPROC;
  return WriteTerminalMode(master_, reporting);
}

PseudoTerminal::Input PseudoTerminal::Read() {
  Input input;
  uint8_t buffer[kReadSize + 1];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) {
    input.closed = n == 0 || errno == EIO;
    return input;
  }
  if (buffer[0] == TIOCPKT_DATA) {
    input.bytes.assign(buffer + 1, buffer + n);
  } else {
    input.settingsChanged = (buffer[0] & TIOCPKT_IOCTL) != 0;
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
