#include "pty_serving.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "open_refusal.h"

namespace tessacom {

void PtyServing::Say(const std::string& line) {
  std::lock_guard lock(lock_);
  out_ << line << "\n" << std::flush;
}

bool PtyServing::MakeDirectory(const std::string& directory, const std::optional<Account>& owner) {
  if (mkdir(directory.c_str(), 0755) != 0) {
    if (errno == EEXIST) return true;
    Say("pty: cannot make " + directory + ": " + std::strerror(errno));
    return false;
  }
  if (owner && chown(directory.c_str(), owner->uid, owner->gid) != 0) {
    Say("pty: cannot give " + directory + " to " + owner->name + ": " + std::strerror(errno));
    return false;
  }
  return true;
}

bool PtyServing::Start(const std::string& directory, bool exclusive, const ServeAccounts& accounts) {
  const std::vector<std::string> ports = ptybridge::PublishedComNames();
  if (ports.empty()) {
    Say("pty: no port has a COM name, so there is nothing to bridge (the load report says why)");
    return false;
  }
  auto explain = [this](const std::string& comName, double seconds) {
    return OpenRefusalText(driver_, comName, STATUS_FILES_OPEN, seconds);
  };
  bridge_ = std::make_unique<ptybridge::PtyBridge>(
      directory, [this](const std::string& note) { Say("pty: " + note); }, explain, exclusive, accounts.terminals);
  std::string error;
  if (!bridge_->Start(ports, &error)) {
    Say("pty: " + error);
    bridge_.reset();
    return false;
  }
  Say("pty: " + std::to_string(ports.size()) + " ports in " + directory + ", their terminals " +
      accounts.terminalsText);
  return true;
}

void PtyServing::Stop() {
  if (!bridge_) return;
  bridge_->Stop();
  bridge_.reset();
  Say("pty: stopped; every port is closed and its link removed");
}

}  // namespace tessacom
