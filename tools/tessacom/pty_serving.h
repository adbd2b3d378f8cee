// The pseudo-terminal bridge as `serve --pty DIR` runs it: started once the driver is loaded,
// stopped (every open port closed) before it unloads, its notes written to the program's
// output. While the bridge runs, the program's own lines go through Say, so that they do not
// cross the bridge's.
#pragma once

#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "driver_binding.h"
#include "pty_bridge.h"
#include "serve_accounts.h"

namespace tessacom {

class PtyServing {
 public:
  // `driver`: the loaded driver, whose ports the bridge serves.
  PtyServing(std::ostream& out, const DriverBinding& driver) : out_(out), driver_(driver) {}
  ~PtyServing() { Stop(); }

  // Makes DIR if it is missing, given to `owner` when there is one (the user serve will run as,
  // who makes and removes the links in it); false (said) on failure.
  bool MakeDirectory(const std::string& directory, const std::optional<Account>& owner);
  // Bridges every published COM port in DIR, its terminal given as `accounts` says, each
  // refusing a second program while one holds it when `exclusive`; false (said) on failure.
  bool Start(const std::string& directory, bool exclusive, const ServeAccounts& accounts);
  void Stop();
  void Say(const std::string& line);

 private:
  std::ostream& out_;
  const DriverBinding& driver_;
  std::mutex lock_;
  std::unique_ptr<ptybridge::PtyBridge> bridge_;
};

}  // namespace tessacom
