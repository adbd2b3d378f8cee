// Loopback addresses of a test's own, so that suites run side by side under CTest without
// sharing an (address, port): 127.x.y.z with x.y from the process id and z from a counter.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace testsupport {

// A fresh address in 127.0.0.0/8, host order (first octet most significant); never 127.0.0.x.
// 63 * 256 values of x.y and 254 of z. The loopback network is shared out so that runs at the
// same time never bind one address: 127.0.0.x to everything else, 127.1-63 to the test suites,
// 127.64-67 to the soak, 127.70 to the emulator's own command-line test, 127.77 to the demo,
// 127.255 to the bench.
inline uint32_t UniqueLoopbackAddress() {
  static std::atomic<uint32_t> counter{0};
  const uint32_t key = static_cast<uint32_t>(getpid()) % (63u * 256u);
  const uint32_t z = 1 + counter.fetch_add(1) % 254;
  return (127u << 24) | ((1 + key / 256) << 16) | ((key % 256) << 8) | z;
}

}  // namespace testsupport
