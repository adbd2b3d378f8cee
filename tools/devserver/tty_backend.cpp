// The real-line backend: a serial device (or any terminal) opened by path. The driver's bytes
// are queued and written as the line takes them; the device's bytes are read as they come;
// settings blocks and breaks are applied to the line.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "line_backend.h"
#include "line_termios.h"

namespace devserver {

namespace {

// Bytes the line has not taken yet beyond which the driver's bytes are dropped (an overrun).
constexpr size_t kQueueLimit = 1 << 20;

std::string Failure(const std::string& what) { return what + ": " + std::strerror(errno); }

class TtyBackend final : public LineBackend {
 public:
  TtyBackend(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TtyBackend() override { close(fd_); }

  std::vector<uint8_t> FromDriver(std::span<const uint8_t> bytes) override {
    const size_t room = kQueueLimit - std::min(kQueueLimit, queue_.size());
    const size_t taken = std::min(room, bytes.size());
    lost_ += bytes.size() - taken;
    queue_.insert(queue_.end(), bytes.begin(), bytes.begin() + taken);
    WriteReady();
    return {};
  }
  int PollDescriptor() const override { return fd_; }
  bool WantsToWrite() const override { return !queue_.empty(); }
  void WriteReady() override {
    while (!queue_.empty()) {
      uint8_t chunk[4096];
      const size_t count = std::min(sizeof chunk, queue_.size());
      std::copy(queue_.begin(), queue_.begin() + count, chunk);
      const ssize_t n = write(fd_, chunk, count);
      if (n <= 0) return;  // full (EAGAIN) or gone: the poll tells which
      queue_.erase(queue_.begin(), queue_.begin() + n);
    }
  }
  std::vector<uint8_t> ReadFromDevice() override {
    std::vector<uint8_t> bytes(4096);
    const ssize_t n = read(fd_, bytes.data(), bytes.size());
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }
  std::string Describe() const override {
    return "tty " + path_ + (lost_ ? " (" + std::to_string(lost_) + " bytes lost to overrun)" : "");
  }
  std::string ApplySettings(const LineSettings& settings) override {
    termios mode;
    if (tcgetattr(fd_, &mode) != 0) return Failure("tcgetattr " + path_);
    ApplyLineSettings(settings, mode);
    if (tcsetattr(fd_, TCSANOW, &mode) != 0) return Failure("tcsetattr " + path_);
    if (settings.baudRate == 0) return path_ + ": the block names no rate; the line keeps its own";
    return {};
  }
  std::string SetBreak(bool on) override {
    if (ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) return Failure(path_ + (on ? " break on" : " break off"));
    return {};
  }

 private:
  int fd_;
  std::string path_;
  std::deque<uint8_t> queue_;
  size_t lost_ = 0;
};

}  // namespace

std::unique_ptr<LineBackend> MakeTtyBackend(const std::string& device, std::string* error) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Failure("cannot open " + device);
    return nullptr;
  }
  termios mode;
  if (tcgetattr(fd, &mode) != 0) {
    *error = Failure(device + " is not a terminal");
    close(fd);
    return nullptr;
  }
  MakeLineRaw(mode);
  if (tcsetattr(fd, TCSANOW, &mode) != 0) {
    *error = Failure("cannot set " + device + " raw");
    close(fd);
    return nullptr;
  }
  return std::make_unique<TtyBackend>(fd, device);
}

}  // namespace devserver
