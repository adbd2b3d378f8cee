#include "soak_link_counter.h"

#include "wire.h"

namespace tessacom {

void LinkCounter::Record(const devserver::TraceRecord& record) {
  Remember(record);
  const bool injectedCopy = record.fault.rfind("duplicate", 0) == 0 &&
                            record.fault.rfind("duplicated", 0) != 0;
  if (record.direction != devserver::Direction::FromDriver || !record.decoded || injectedCopy) return;
  if (record.type == devserver::kPoll) polls_++;
  if (record.type != devserver::kData || record.sequence == 0) return;
  int& last = lastDataSequence_[record.channel];
  if (record.sequence == last) retransmissions_++;
  last = record.sequence;
}

void LinkCounter::Remember(const devserver::TraceRecord& record) {
  if (!record.decoded) return;
  std::lock_guard hold(recentLock_);
  std::deque<std::string>& lines = recent_[record.channel];
  if (lines.size() == kRecentLines) lines.pop_front();
  lines.push_back(record.text);
}

std::vector<std::string> LinkCounter::Recent(uint8_t channel) const {
  std::lock_guard hold(recentLock_);
  return {recent_[channel].begin(), recent_[channel].end()};
}

}  // namespace tessacom
