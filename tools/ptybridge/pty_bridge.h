// The pseudo-terminal bridge: every COM port gets a pseudo-terminal and a stable link
// DIR/<COM name> to it, so that programs that open a serial device can use the port.
//
// The link leads to one pseudo-terminal for the bridge's whole life. A program's first open of
// it opens the COM port (the handshake with the remote happens then); the last close closes
// the port. As on a serial device of the system, other programs may open it too; with
// `exclusive` a second program is refused while one holds it. A program that opens while the
// previous session is still closing the port waits for it: its reads block and its writes wait
// in the terminal until the port is open again. Between programs the terminal keeps its
// settings, and bytes that came while no program held the port are not handed to the next.
// The program's terminal settings become the port's as they change, its flushes purges. A
// port that does not open leaves the program with a hung-up terminal (its reads give end of
// file, its writes fail with EIO), noted once with the reason, and a fresh
// pseudo-terminal, with the same settings, behind the link. Each port is served by a thread of
// its own; notes come from those threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pseudo_terminal.h"

namespace ptybridge {

class PortBridge;
class TerminalWatch;

class PtyBridge {
 public:
  // Why the driver refused an open of the COM port with STATUS_FILES_OPEN (ERROR_OPEN_FILES to
  // programs), for the note: the COM name and the open's time on the driver's clock, in seconds.
  // "" when nothing more is known.
  using ExplainRefusal = std::function<std::string(const std::string& comName, double seconds)>;

  // `directory` must exist; `note` gets one line for people per event. With `access`, every
  // terminal made is given to its owner and group with its mode (else it stays the process's).
  PtyBridge(std::string directory, std::function<void(const std::string&)> note,
            ExplainRefusal explainRefusal = {}, bool exclusive = false,
            std::optional<TerminalAccess> access = std::nullopt);
  ~PtyBridge();  // stops
  PtyBridge(const PtyBridge&) = delete;
  PtyBridge& operator=(const PtyBridge&) = delete;

  // Starts serving the ports ("COM3", ...); false with `error` set when a pseudo-terminal or
  // a link cannot be made (nothing is left serving then, and the links made are removed).
  bool Start(const std::vector<std::string>& comNames, std::string* error);
  // Closes every open port (the remote gets its close), hangs up the programs that held them
  // and removes the links it made. Returns after every port thread has ended.
  void Stop();
  std::string LinkOf(const std::string& comName) const;

 private:
  std::string directory_;
  std::function<void(const std::string&)> note_;
  ExplainRefusal explainRefusal_;
  bool exclusive_;
  std::optional<TerminalAccess> access_;
  int stopFd_ = -1;
  std::unique_ptr<TerminalWatch> watch_;
  std::vector<std::unique_ptr<PortBridge>> ports_;
};

// The COM names the loaded driver published ("COM3", ...), in link order.
std::vector<std::string> PublishedComNames();

}  // namespace ptybridge
