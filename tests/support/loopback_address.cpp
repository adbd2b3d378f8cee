// Per-process, per-call loopback addresses for tests over real UDP.
#include "support/loopback_address.h"

#include <unistd.h>

#include <atomic>

namespace testsupport {

uint32_t UniqueLoopbackAddress() {
  static std::atomic<uint32_t> counter{0};
  // 254 * 256 values of x.y (x from 1: 127.0.0.x is left to everything else) and 254 of z.
  const uint32_t key = static_cast<uint32_t>(getpid()) % (254u * 256u);
  const uint32_t x = 1 + key / 256;
  const uint32_t y = key % 256;
  const uint32_t z = 1 + counter.fetch_add(1) % 254;
  return (127u << 24) | (x << 16) | (y << 8) | z;
}

}  // namespace testsupport
