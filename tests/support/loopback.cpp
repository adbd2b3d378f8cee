#include "support/loopback.h"

#include <unistd.h>

#include <atomic>

namespace testsupport {

uint32_t UniqueLoopbackAddress() {
  static std::atomic<uint32_t> next{0};
  uint32_t pid = static_cast<uint32_t>(getpid());
  uint32_t n = next++;
  // 127.<pid high>.<pid low>.<n>, with the third octet moved on past 250 addresses.
  uint32_t third = (pid & 0xFF) ^ ((n / 250) & 0xFF);
  return (127u << 24) | (((pid >> 8) & 0xFF) << 16) | (third << 8) | (2 + n % 250);
}

}  // namespace testsupport
