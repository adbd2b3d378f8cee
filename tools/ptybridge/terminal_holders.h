// Who holds the terminal side of one bridged port: the programs' opens and closes, as the
// bridge's watch (terminal_watch.h) reports them, and the terminal's state at the ends.
//
// Where the bridge makes its ports exclusive, the first open makes the terminal exclusive (a
// second program without the administrator's capability gets EBUSY). The last close holds
// programs' output back (TCOOFF: a write waits in write()), so that what the closing program
// wrote can be told from what the next one writes, then clears the exclusivity (the bridge's or
// the program's own), which a pseudo-terminal would otherwise keep after the last close and
// refuse the next program with, and discards what the closing program left unread.
#pragma once

#include <atomic>
#include <cstdint>

#include "pseudo_terminal.h"
#include "wake_event.h"

namespace ptybridge {

class TerminalHolders {
 public:
  // With `exclusive` false the first open leaves the terminal open to others.
  TerminalHolders(PseudoTerminal& terminal, bool exclusive) : terminal_(terminal), exclusive_(exclusive) {}
  TerminalHolders(const TerminalHolders&) = delete;
  TerminalHolders& operator=(const TerminalHolders&) = delete;

  PseudoTerminal& Terminal() const { return terminal_; }
  bool Valid() const { return changed_.Valid(); }
  // Signalled after a first open or a last close.
  const WakeEvent& Changed() const { return changed_; }

  struct State {
    uint32_t programs = 0;    // descriptors programs hold open (a fork's copy is not counted)
    uint32_t firstOpens = 0;  // opens that found no program holding the terminal side
  };
  State Now() const;

  // The watch's reports, one at a time.
  void Opened();
  void Closed();

 private:
  void Publish();

  PseudoTerminal& terminal_;
  bool exclusive_;
  WakeEvent changed_;
  State counted_;  // the watch's own
  std::atomic<uint64_t> published_{0};
};

}  // namespace ptybridge
