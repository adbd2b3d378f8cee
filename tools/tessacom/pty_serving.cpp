#include "pty_serving.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "endpoint.h"
#include "host/registry/registry.h"
#include "host_session.h"

namespace tessacom {

namespace {

// A value of the driver's key as the driver reads it: a 4-byte REG_DWORD, or else 3.
uint32_t Configured(const std::string& name) {
  const auto value = host::registry::GetValue(ServiceKeyPath(), name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return 3;
  const auto& d = value->data;
  return d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
}

// "127.0.0.2 channel 1": the remote of a COM port as the driver reads it at each open, from
// "dAddress<n>" and "StartNum<n>" of its port (n = its COM number - "StartPort" + 1).
std::string RemoteOf(const std::string& comName) {
  const uint32_t number = static_cast<uint32_t>(std::strtoul(comName.c_str() + 3, nullptr, 10));
  const std::string n = std::to_string(number - Configured("StartPort") + 1);
  return devserver::AddressToString(Configured("dAddress" + n)) + " channel " + std::to_string(Configured("StartNum" + n));
}

}  // namespace

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
  bridge_ = std::make_unique<ptybridge::PtyBridge>(
      directory, [this](const std::string& note) { Say("pty: " + note); }, RemoteOf, exclusive, accounts.terminals);
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
