// Test support for suites over real UDP: loopback addresses of the test's own, and waiting in
// real time for what an outside peer does.
#pragma once

#include "support/loopback_address.h"

namespace testsupport {

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
