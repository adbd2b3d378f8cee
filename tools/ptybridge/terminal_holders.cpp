// The count of programs holding a bridged terminal, and the state changes at its ends.
#include "terminal_holders.h"

namespace ptybridge {

TerminalHolders::State TerminalHolders::Now() const {
  const uint64_t word = published_.load();
  return {static_cast<uint32_t>(word), static_cast<uint32_t>(word >> 32)};
}

void TerminalHolders::Publish() {
  published_.store(static_cast<uint64_t>(counted_.firstOpens) << 32 | counted_.programs);
  changed_.Signal();
}

void TerminalHolders::Opened() {
  if (counted_.programs++ == 0) {
    if (exclusive_) terminal_.SetExclusive(true);
    counted_.firstOpens++;
  }
  Publish();
}

// The output is held before the exclusivity goes, so that no next program's byte can follow
// the closing one's into the master before the bridge has taken them; what the closing
// program left unread goes after the count is published, so that the session, which then no
// longer serves a program, does not take the flush's report for a program's.
void TerminalHolders::Closed() {
  if (counted_.programs == 0) return;  // the close of an open from before the watch
  const bool last = --counted_.programs == 0;
  if (last) {
    terminal_.HoldOutput(true);
    terminal_.SetExclusive(false);
  }
  Publish();
  if (last) terminal_.DiscardInput();
}

}  // namespace ptybridge
