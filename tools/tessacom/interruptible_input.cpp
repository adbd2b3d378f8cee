#include "interruptible_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tessacom {

InterruptibleInput::int_type InterruptibleInput::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  for (;;) {
    pollfd fds[2] = {{input_, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return traits_type::eof();
    }
    if (fds[1].revents != 0) return traits_type::eof();
    const ssize_t n = read(input_, buffer_, sizeof buffer_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
  }
}

}  // namespace tessacom
