// Test fixtures that give every test a fresh executive in manual mode (virtual clock, timers
// and deferred calls driven by the test), and the one bounded real-time poll for states that
// other threads reach.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "host/session/executive.h"

namespace testsupport {

class ManualExecutive : public ::testing::Test {
 protected:
  void SetUp() override { host::session::StartManual(); }
  void TearDown() override { host::session::Shutdown(); }
};

// Polls until the condition holds or the real-time limit passes; returns whether it held. For
// hand-offs between threads only, never to measure time.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// 100-ns units.
constexpr int64_t kMillisecond = 10000;
constexpr int64_t kSecond = 10000000;

}  // namespace testsupport
