// Per-process, per-call loopback addresses for tests over real UDP.
#include "support/loopback_address.h"

#include <unistd.h>

#include <atomic>

namespace testsupport {

uint32_t UniqueLoopbackAddress() {
  static std::atomic<uint32_t> counter{0};
  // 63 * 256 values of x.y and 254 of z. The loopback network is shared out so that runs at
  // the same time never bind one address: 127.0.0.x to everything else, 127.1-63 to the test
  // suites, 127.64-67 to the soak, 127.70 to the emulator's own command-line test, 127.77 to
  // the demo, 127.255 to the bench.
  const uint32_t key = static_cast<uint32_t>(getpid()) % (63u * 256u);
  const uint32_t x = 1 + key / 256;
  const uint32_t y = key % 256;
  const uint32_t z = 1 + counter.fetch_add(1) % 254;
  return (127u << 24) | (x << 16) | (y << 8) | z;
}

}  // namespace testsupport
