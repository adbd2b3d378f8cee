// The programmatic, echo and pseudo-terminal line backends.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "line_backend.h"

namespace devserver {

std::optional<BackendKind> ParseBackendKind(std::string_view name) {
  if (name == "none" || name == "programmatic") return BackendKind::Programmatic;
  if (name == "echo") return BackendKind::Echo;
  if (name == "pty") return BackendKind::Pty;
  if (name == "tty") return BackendKind::Tty;
  return std::nullopt;
}

const char* BackendKindName(BackendKind kind) {
  switch (kind) {
    case BackendKind::Programmatic: return "none";
    case BackendKind::Echo: return "echo";
    case BackendKind::Pty: return "pty";
    case BackendKind::Tty: return "tty";
  }
  return "?";
}

namespace {

class ProgrammaticBackend final : public LineBackend {
 public:
  std::vector<uint8_t> FromDriver(std::span<const uint8_t>) override { return {}; }
  std::string Describe() const override { return "none"; }
};

class EchoBackend final : public LineBackend {
 public:
  std::vector<uint8_t> FromDriver(std::span<const uint8_t> bytes) override {
    return {bytes.begin(), bytes.end()};
  }
  std::string Describe() const override { return "echo"; }
};

// The master side of a pseudo-terminal. The server keeps a descriptor of the terminal side
// open itself, so that the master does not report a hang-up whenever no program has the
// terminal open. Bytes the terminal cannot take right now are lost, as on an overrun line.
class PtyBackend final : public LineBackend {
 public:
  PtyBackend(int master, int terminal, std::string path)
      : master_(master), terminal_(terminal), path_(std::move(path)) {}
  ~PtyBackend() override {
    close(terminal_);
    close(master_);
  }
  std::vector<uint8_t> FromDriver(std::span<const uint8_t> bytes) override {
    size_t offset = 0;
    while (offset < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + offset, bytes.size() - offset);
      if (n <= 0) break;
      offset += static_cast<size_t>(n);
    }
    return {};
  }
  int PollDescriptor() const override { return master_; }
  std::vector<uint8_t> ReadFromDevice() override {
    std::vector<uint8_t> bytes(4096);
    const ssize_t n = read(master_, bytes.data(), bytes.size());
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }
  std::string Describe() const override { return "pty " + path_; }

 private:
  int master_;
  int terminal_;
  std::string path_;
};

std::unique_ptr<LineBackend> MakePty(std::string* error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    *error = std::string("posix_openpt: ") + std::strerror(errno);
    return nullptr;
  }
  char path[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof path) != 0) {
    *error = std::string("pseudo-terminal setup: ") + std::strerror(errno);
    close(master);
    return nullptr;
  }
  const int terminal = open(path, O_RDWR | O_NOCTTY);
  if (terminal < 0) {
    *error = std::string("open ") + path + ": " + std::strerror(errno);
    close(master);
    return nullptr;
  }
  // A serial line carries bytes as they are: no echo, no line editing, no translation.
  termios mode;
  if (tcgetattr(terminal, &mode) == 0) {
    cfmakeraw(&mode);
    tcsetattr(terminal, TCSANOW, &mode);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return std::make_unique<PtyBackend>(master, terminal, path);
}

}  // namespace

std::unique_ptr<LineBackend> MakeBackend(BackendKind kind, std::string* error,
                                         const std::string& device) {
  switch (kind) {
    case BackendKind::Programmatic: return std::make_unique<ProgrammaticBackend>();
    case BackendKind::Echo: return std::make_unique<EchoBackend>();
    case BackendKind::Pty: return MakePty(error);
    case BackendKind::Tty: return MakeTtyBackend(device, error);
  }
  return nullptr;
}

}  // namespace devserver
