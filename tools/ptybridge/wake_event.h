// An event one thread signals and another polls for: an eventfd that stays readable from the
// first Signal until Take.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace ptybridge {

class WakeEvent {
 public:
  WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~WakeEvent() {
    if (fd_ >= 0) close(fd_);
  }
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Fd() const { return fd_; }  // for poll
  void Signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
  }
  void Take() const {
    uint64_t count;
    [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
  }

 private:
  int fd_;
};

}  // namespace ptybridge
