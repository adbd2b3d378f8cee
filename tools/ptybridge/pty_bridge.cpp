// The bridge's ports: one thread each, a pseudo-terminal for each program's session.
#include "pty_bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "host/ob/object_names.h"
#include "port_session.h"
#include "pseudo_terminal.h"

namespace ptybridge {

class PortBridge {
 public:
  PortBridge(std::string comName, std::string link, int stopFd, Note note)
      : name_(std::move(comName)), link_(std::move(link)), stopFd_(stopFd), note_(std::move(note)) {}
  ~PortBridge() {
    if (thread_.joinable()) thread_.join();
    unlink(link_.c_str());
  }

  // The first pseudo-terminal and its link, then the port's thread.
  bool Start(std::string* error) {
    auto terminal = std::make_unique<PseudoTerminal>();
    if (!terminal->Valid()) {
      *error = name_ + ": " + terminal->Error();
      return false;
    }
    if (!PointLink(link_, terminal->Path(), error)) return false;
    thread_ = std::thread([this, first = std::move(terminal)]() mutable { Run(std::move(first)); });
    return true;
  }

 private:
  bool Stopped() const {
    pollfd p{stopFd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

  // Waits until a program holds the terminal side; false when the bridge stops first.
  bool WaitForProgram(PseudoTerminal& terminal) {
    for (;;) {
      if (terminal.Held()) return true;
      pollfd fds[2] = {{terminal.Watch(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
      poll(fds, 2, -1);
      if (fds[1].revents) return false;
      terminal.DrainWatch();
    }
  }

  // Serves one program per pseudo-terminal: a terminal that a program has held is not reused
  // (its exclusivity stays with it), so each session ends with a fresh one behind the link.
  void Run(std::unique_ptr<PseudoTerminal> terminal) {
    while (terminal && WaitForProgram(*terminal)) {
      terminal->MakeExclusive();
      {
        PortSession session(name_, *terminal, stopFd_, note_);
        if (session.Open() && !Stopped()) session.Run();
      }
      terminal.reset();  // hangs up the program if it still holds the terminal side
      if (Stopped()) break;
      terminal = Fresh();
    }
  }

  std::unique_ptr<PseudoTerminal> Fresh() {
    auto terminal = std::make_unique<PseudoTerminal>();
    std::string error = terminal->Error();
    if (terminal->Valid() && PointLink(link_, terminal->Path(), &error)) return terminal;
    note_(name_ + ": no longer served: " + error);
    return nullptr;
  }

  std::string name_;
  std::string link_;
  int stopFd_;
  Note note_;
  std::thread thread_;
};

PtyBridge::PtyBridge(std::string directory, std::function<void(const std::string&)> note)
    : directory_(std::move(directory)), note_(std::move(note)) {}

PtyBridge::~PtyBridge() { Stop(); }

bool PtyBridge::Start(const std::vector<std::string>& comNames, std::string* error) {
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) {
    *error = "eventfd failed";
    return false;
  }
  for (const std::string& name : comNames) {
    auto port = std::make_unique<PortBridge>(name, LinkOf(name), stopFd_, note_);
    if (!port->Start(error)) {
      Stop();
      return false;
    }
    note_(name + ": " + LinkOf(name));
    ports_.push_back(std::move(port));
  }
  return true;
}

void PtyBridge::Stop() {
  if (stopFd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);  // stays readable
  ports_.clear();
  close(stopFd_);
  stopFd_ = -1;
}

std::string PtyBridge::LinkOf(const std::string& comName) const { return directory_ + "/" + comName; }

std::vector<std::string> PublishedComNames() {
  static const std::string kPrefix = "\\DosDevices\\";
  std::vector<std::string> names;
  for (const auto& entry : host::names::List()) {
    if (entry.kind != host::names::Kind::SymbolicLink || entry.name.rfind(kPrefix, 0) != 0) continue;
    names.push_back(entry.name.substr(kPrefix.size()));
  }
  return names;
}

}  // namespace ptybridge
