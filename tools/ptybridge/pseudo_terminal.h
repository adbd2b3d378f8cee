// The pseudo-terminal pair of a bridged COM port, for the whole life of the bridge. The bridge
// keeps the master, and a descriptor of the terminal side of its own, so that the terminal
// lives on between programs (its settings with it) and the bridge can set and clear the
// terminal's state whatever programs do. The master is in packet mode and the terminal side
// has EXTPROC set, so that every settings change and every flush a program makes is reported
// on the master at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "terminal_mode.h"

namespace ptybridge {

// The most the master gives in one read.
constexpr size_t kTerminalReadSize = 4096;

// Who may open a bridged terminal: the owner, group and permission bits each terminal the
// bridge makes is given (a pseudo-terminal is otherwise its maker's, group tty, mode 0620).
struct TerminalAccess {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0660;
};

class PseudoTerminal {
 public:
  // A new pair; on failure Valid() is false and Error() tells why.
  PseudoTerminal();
  ~PseudoTerminal();  // hangs up the programs that still hold the terminal side
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool Valid() const { return master_ >= 0; }
  const std::string& Error() const { return error_; }
  const std::string& Path() const { return path_; }
  int Master() const { return master_; }

  // The terminal side's settings, with EXTPROC set again if a program cleared it.
  bool Mode(TerminalMode& mode);
  bool SetMode(const TerminalMode& mode);
  // Gives the terminal side to `access`'s owner and group with its mode; false with Error()
  // set when the process may not.
  bool GiveTo(const TerminalAccess& access);

  // The terminal-side state the bridge keeps, through its own descriptor:
  // further opens refused (EBUSY for programs without the administrator's capability) or not;
  bool SetExclusive(bool exclusive);
  // programs' writes held in write() (as output stopped by TCOOFF) or let into the buffer;
  bool HoldOutput(bool hold);
  // the bytes waiting for a program to read them discarded; FlushInput also takes the report
  // of it from the master, so that it is not seen as a program's, and is for the thread that
  // reads the master.
  bool DiscardInput();
  bool FlushInput();

  // What one read of the master gave: bytes the program wrote, or a report of what was done
  // to the terminal (a settings change, a flush of either direction, output stopped or
  // started), or nothing when the master had nothing to give.
  struct Input {
    std::vector<uint8_t> bytes;
    bool settingsChanged = false;
    bool inputFlushed = false;   // the program discarded what it had not read (TCIFLUSH)
    bool outputFlushed = false;  // and what it wrote (TCOFLUSH)
    bool read = false;           // the master gave a packet
    bool Empty() const { return !read; }
  };
  // Takes at most `limit` (up to kTerminalReadSize) bytes; a report comes with none.
  Input Read(size_t limit);
  // Writes as much as the terminal side takes now; returns the count (0 when it is full).
  size_t Write(const uint8_t* bytes, size_t count);

 private:
  bool Fail(const std::string& what);
  int master_ = -1;
  int terminal_ = -1;  // the bridge's own descriptor of the terminal side
  std::string path_;
  std::string error_;
};

// Points `link` at `target`, replacing a link to a pseudo-terminal that stands there (one a
// bridge made, perhaps one that stopped without removing it) atomically, so that a program
// opening the link meets the old target or the new one. Anything else standing there (a file,
// a directory, a link elsewhere) is left as it is: false with `error` set, as when the link
// cannot be made. The new link is made beside it under a name of this process's own and
// renamed into place; nothing of another's is removed on the way.
bool PointLink(const std::string& link, const std::string& target, std::string* error);
// Removes `link` if it still leads to `target`: the bridge removes only the links it made.
void RemoveLink(const std::string& link, const std::string& target);

}  // namespace ptybridge
