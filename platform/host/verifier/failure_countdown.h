// Failure injection by count, for failure-path tests: armed with n, the nth call counted from
// then on (1 = the next) is the one told to fail, once. Safe from any thread.
#pragma once

#include <atomic>
#include <cstddef>

namespace host::verifier {

class FailureCountdown {
 public:
  // Arms the countdown; 0 disarms it.
  void Arm(size_t nth) { remaining_ = nth; }
  // Counts one call; true for the call chosen to fail.
  bool Fails() {
    size_t current = remaining_.load();
    while (current != 0) {
      if (remaining_.compare_exchange_weak(current, current - 1)) return current == 1;
    }
    return false;
  }

 private:
  std::atomic<size_t> remaining_{0};
};

}  // namespace host::verifier
