// One pseudo-terminal pair as the bridge uses it for a COM port. The bridge keeps the master;
// programs open the terminal side through a stable link. The master is in packet mode and the
// terminal side has EXTPROC set, so that every settings change a program makes is reported on
// the master at once. The terminal side has been opened and closed once at creation, so the
// master reports a hang-up whenever no program holds it; a watch on the terminal side's path
// wakes the bridge when something opens it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "terminal_mode.h"

namespace ptybridge {

class PseudoTerminal {
 public:
  // A new pair; on failure Valid() is false and Error() tells why.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool Valid() const { return master_ >= 0; }
  const std::string& Error() const { return error_; }
  const std::string& Path() const { return path_; }
  int Master() const { return master_; }
  int Watch() const { return watch_; }  // readable after an open or close of the terminal side

  // Discards the watch's pending events.
  void DrainWatch();
  // Whether a program holds the terminal side now.
  bool Held() const;
  // Refuses further opens of the terminal side (EBUSY for programs without the
  // administrator's capability), as an exclusive device refuses a second open.
  bool MakeExclusive();
  // The terminal side's settings, with EXTPROC set again if a program cleared it.
  bool Mode(TerminalMode& mode);

  // What one read of the master gave: bytes the program wrote, a settings change, or nothing
  // (no data now, or the terminal side is closed).
  struct Input {
    std::vector<uint8_t> bytes;
    bool settingsChanged = false;
    bool closed = false;  // the terminal side has no program and nothing is left to read
  };
  Input Read();
  // Writes as much as the terminal side takes now; returns the count (0 when it is full).
  size_t Write(const uint8_t* bytes, size_t count);

 private:
  bool Fail(const std::string& what);
  int master_ = -1;
  int watch_ = -1;
  std::string path_;
  std::string error_;
};

// Points `link` at `target`, replacing a link that stands there (atomically, so that a
// program opening the link meets the old target or the new one); false with `error` set when
// something other than a link stands there or the link cannot be made.
bool PointLink(const std::string& link, const std::string& target, std::string* error);

}  // namespace ptybridge
