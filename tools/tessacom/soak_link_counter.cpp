#include "soak_link_counter.h"

#include "wire.h"

namespace tessacom {

void LinkCounter::Record(const devserver::TraceRecord& record) {
  const bool injectedCopy = record.fault.rfind("duplicate", 0) == 0 &&
                            record.fault.rfind("duplicated", 0) != 0;
  if (record.direction != devserver::Direction::FromDriver || !record.decoded || injectedCopy) return;
  if (record.type == devserver::kPoll) polls_++;
  if (record.type != devserver::kData || record.sequence == 0) return;
  int& last = lastDataSequence_[record.channel];
  if (record.sequence == last) retransmissions_++;
  last = record.sequence;
}

}  // namespace tessacom
