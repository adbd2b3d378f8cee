// What the soak counts of the link as a remote's trace shows it: the driver's data packets
// sent again under the sequence of the one before (retransmissions, whether or not the first
// sending was lost on the way) and its polls. The copies that fault injection added are not
// the driver's and are not counted.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "trace.h"

namespace tessacom {

class LinkCounter {
 public:
  // The remote's trace callback: its thread, its lock held.
  void Record(const devserver::TraceRecord& record);
  size_t Retransmissions() const { return retransmissions_; }
  size_t Polls() const { return polls_; }

 private:
  std::array<int, 256> lastDataSequence_{};  // per channel; 0 before any sequenced data
  std::atomic<size_t> retransmissions_{0};
  std::atomic<size_t> polls_{0};
};

}  // namespace tessacom
