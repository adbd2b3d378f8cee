// Test support: loopback addresses of this test process's own, so that suites running side by
// side under CTest never share an (address, port). 127.P.Q.n with P.Q from the process id.
#pragma once

#include <cstdint>

namespace testsupport {

// A fresh address in 127.0.0.0/8 on every call (host order), never 127.0.0.1.
uint32_t UniqueLoopbackAddress();

// Polls `ready` every millisecond until it holds or `seconds` of real time have passed.
template <typename Ready>
bool WaitUntil(Ready ready, double seconds = 10.0);

}  // namespace testsupport

#include <chrono>
#include <thread>

template <typename Ready>
bool testsupport::WaitUntil(Ready ready, double seconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(seconds));
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
