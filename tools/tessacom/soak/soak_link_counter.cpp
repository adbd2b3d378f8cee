#include "soak/soak_link_counter.h"

#include <string_view>

#include "wire.h"

namespace tessacom {

void LinkCounter::Record(const devserver::TraceRecord& record) {
  Remember(record);
  const bool injectedCopy = record.fault.rfind("duplicate", 0) == 0 &&
                            record.fault.rfind("duplicated", 0) != 0;
  if (record.direction != devserver::Direction::FromDriver || !record.decoded || injectedCopy) return;
  const bool lost = record.fault.find("dropped") != std::string::npos ||
                    record.fault.find("vanished") != std::string::npos;
  if (record.type == devserver::kData && !lost && record.verdict.empty()) {
    lastTaken_[record.channel] = std::chrono::steady_clock::now().time_since_epoch().count();
  }
  if (record.type == devserver::kPoll) polls_++;
  if (record.type != devserver::kData || record.sequence == 0) return;
  int& last = lastDataSequence_[record.channel];
  if (record.sequence == last) retransmissions_++;
  last = record.sequence;
}

namespace {

// A trace line without its time: what two lines of one exchange repeated have in common.
std::string_view Untimed(const std::string& text) {
  const size_t time = text.find_first_not_of(' ');
  const size_t rest = time == std::string::npos ? std::string::npos : text.find(' ', time);
  return rest == std::string::npos ? std::string_view(text) : std::string_view(text).substr(rest);
}

}  // namespace

void LinkCounter::Remember(const devserver::TraceRecord& record) {
  if (!record.decoded) return;
  std::lock_guard hold(recentLock_);
  std::deque<Line>& lines = recent_[record.channel];
  for (size_t back = 1; back <= 2 && back <= lines.size(); back++) {
    Line& earlier = lines[lines.size() - back];
    if (Untimed(earlier.text) != Untimed(record.text)) continue;
    // The same exchange again (a request and its answer): counted on the earlier lines.
    earlier.repeats++;
    return;
  }
  if (lines.size() == kRecentLines) lines.pop_front();
  lines.push_back({record.text, 0});
}

std::chrono::steady_clock::time_point LinkCounter::LastTaken(uint8_t channel) const {
  const std::chrono::steady_clock::rep taken = lastTaken_[channel];
  if (taken == 0) return start_;
  return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(taken));
}

std::vector<std::string> LinkCounter::Recent(uint8_t channel) const {
  std::lock_guard hold(recentLock_);
  std::vector<std::string> lines;
  for (const Line& line : recent_[channel]) {
    lines.push_back(line.repeats == 0 ? line.text
                                      : line.text + "  (and " + std::to_string(line.repeats) +
                                            " more like it)");
  }
  return lines;
}

}  // namespace tessacom
