// The pseudo-terminal bridge: every COM port gets a pseudo-terminal and a stable link
// DIR/<COM name> to it, so that programs that open a serial device can use the port.
//
// A program's open of the link opens the COM port (the handshake with the remote happens
// then); its last close closes the port. A second program is refused while one holds it. The
// program's terminal settings become the port's as they change. A port that does not open
// leaves the program with a hung-up terminal: its reads give end of file, its writes fail with
// EIO; the reason is noted once. Each port is served by a thread of its own; notes come from
// those threads.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ptybridge {

class PortBridge;

class PtyBridge {
 public:
  // `directory` must exist; `note` gets one line for people per event.
  PtyBridge(std::string directory, std::function<void(const std::string&)> note);
  ~PtyBridge();  // stops
  PtyBridge(const PtyBridge&) = delete;
  PtyBridge& operator=(const PtyBridge&) = delete;

  // Starts serving the ports ("COM3", ...); false with `error` set when a pseudo-terminal or
  // a link cannot be made (nothing is left serving then).
  bool Start(const std::vector<std::string>& comNames, std::string* error);
  // Closes every open port (the remote gets its close), hangs up the programs that held them
  // and removes the links. Returns after every port thread has ended.
  void Stop();
  std::string LinkOf(const std::string& comName) const;

 private:
  std::string directory_;
  std::function<void(const std::string&)> note_;
  int stopFd_ = -1;
  std::vector<std::unique_ptr<PortBridge>> ports_;
};

// The COM names the loaded driver published ("COM3", ...), in link order.
std::vector<std::string> PublishedComNames();

}  // namespace ptybridge
