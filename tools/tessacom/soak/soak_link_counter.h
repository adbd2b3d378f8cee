// What the soak counts of the link as a remote's trace shows it: the driver's data packets
// sent again under the sequence of the one before (retransmissions, whether or not the first
// sending was lost on the way) and its polls; and the last lines of each channel's trace, which
// the soak prints for a port that stalls (a line repeated but for its time is kept once, with
// how often it came). The copies that fault injection added are not the
// driver's and are not counted.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "trace.h"

namespace tessacom {

class LinkCounter {
 public:
  static constexpr size_t kRecentLines = 160;

  // The remote's trace callback: its thread, its lock held.
  void Record(const devserver::TraceRecord& record);
  size_t Retransmissions() const { return retransmissions_; }
  size_t Polls() const { return polls_; }
  // When the remote last took one of the driver's data packets on the channel (its start when
  // none yet).
  std::chrono::steady_clock::time_point LastTaken(uint8_t channel) const;
  // The channel's last trace lines, oldest first.
  std::vector<std::string> Recent(uint8_t channel) const;

 private:
  void Remember(const devserver::TraceRecord& record);
  std::array<int, 256> lastDataSequence_{};  // per channel; 0 before any sequenced data
  std::atomic<size_t> retransmissions_{0};
  std::atomic<size_t> polls_{0};
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::array<std::atomic<std::chrono::steady_clock::rep>, 256> lastTaken_{};  // 0: none yet
  mutable std::mutex recentLock_;
  struct Line {
    std::string text;
    size_t repeats;
  };
  std::array<std::deque<Line>, 256> recent_;
};

}  // namespace tessacom
