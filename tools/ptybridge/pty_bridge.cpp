// The bridge's ports: one thread and one pseudo-terminal each.
#include "pty_bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "host/ob/object_names.h"
#include "port_session.h"
#include "pseudo_terminal.h"
#include "terminal_holders.h"
#include "terminal_watch.h"

namespace ptybridge {

class PortBridge {
 public:
  PortBridge(std::string comName, std::string link, PtyBridge::ExplainRefusal explain, TerminalWatch& watch,
             bool exclusive, std::optional<TerminalAccess> access, int stopFd, Note note)
      : watch_(watch),
        exclusive_(exclusive),
        access_(access),
        name_(std::move(comName)),
        link_(std::move(link)),
        explain_(std::move(explain)),
        stopFd_(stopFd),
        note_(std::move(note)) {}
  ~PortBridge() {
    if (thread_.joinable()) thread_.join();
    if (holders_) watch_.Remove(*holders_);
    const std::string path = terminal_ ? terminal_->Path() : "";
    terminal_.reset();  // hangs up the programs that still hold it
    if (!path.empty()) RemoveLink(link_, path);  // the link this port made, and nothing else
  }

  // The pseudo-terminal and its link, then the port's thread.
  bool Start(std::string* error) {
    if (!MakeTerminal(error)) {
      *error = name_ + ": " + *error;
      return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
  }

 private:
  bool Stopped() const {
    pollfd p{stopFd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

  // A pseudo-terminal, watched, behind the link in place of the one there (whose programs are
  // hung up), with its settings.
  bool MakeTerminal(std::string* error) {
    auto terminal = std::make_unique<PseudoTerminal>();
    if (!terminal->Valid() || (access_ && !terminal->GiveTo(*access_))) {
      *error = terminal->Error();
      return false;
    }
    TerminalMode mode;
    if (terminal_ && terminal_->Mode(mode)) terminal->SetMode(mode);
    auto holders = std::make_unique<TerminalHolders>(*terminal, exclusive_);
    if (!holders->Valid() || !watch_.Add(*holders, error)) {
      if (!holders->Valid()) *error = "eventfd failed";
      return false;
    }
    if (!PointLink(link_, terminal->Path(), error)) {
      watch_.Remove(*holders);
      return false;
    }
    if (holders_) watch_.Remove(*holders_);
    holders_ = std::move(holders);
    terminal_ = std::move(terminal);
    served_ = 0;  // the new terminal's opens are counted from none
    return true;
  }

  // Waits until a program has opened the terminal since the last session began; false when
  // the bridge stops first.
  bool WaitForProgram() {
    for (;;) {
      if (holders_->Now().firstOpens != served_) return true;
      pollfd fds[2] = {{holders_->Changed().Fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
      poll(fds, 2, -1);
      if (fds[1].revents) return false;
      holders_->Changed().Take();
    }
  }

  void Run() {
    while (WaitForProgram()) {
      served_ = holders_->Now().firstOpens;
      if (!Serve() || Stopped()) return;
    }
  }

  // One session; false when the port can no longer be served.
  bool Serve() {
    std::string failure;
    {
      PortSession session(name_, *terminal_, *holders_, stopFd_, note_);
      if (session.Open(explain_)) {
        noted_.clear();
        if (!Stopped()) session.Run();
      }
      failure = session.Failure();
    }
    if (failure.empty()) {
      terminal_->FlushInput();  // what came for the program after its last close
      return true;
    }
    NoteFailure("the port did not open (" + failure + "); the program reads end of file and its writes fail");
    std::string error;
    if (MakeTerminal(&error)) return true;
    note_(name_ + ": no longer served: " + error);
    return false;
  }

  // Said once until the port opens again.
  void NoteFailure(const std::string& text) {
    if (text != noted_) note_(name_ + ": " + text);
    noted_ = text;
  }

  TerminalWatch& watch_;
  bool exclusive_;
  std::optional<TerminalAccess> access_;
  std::string name_;
  std::string link_;
  PtyBridge::ExplainRefusal explain_;
  int stopFd_;
  Note note_;
  std::string noted_;
  std::unique_ptr<PseudoTerminal> terminal_;
  std::unique_ptr<TerminalHolders> holders_;
  uint32_t served_ = 0;  // the holders' first opens when the last session began
  std::thread thread_;
};

PtyBridge::PtyBridge(std::string directory, std::function<void(const std::string&)> note,
                     ExplainRefusal explainRefusal, bool exclusive, std::optional<TerminalAccess> access)
    : directory_(std::move(directory)),
      note_(std::move(note)),
      explainRefusal_(std::move(explainRefusal)),
      exclusive_(exclusive),
      access_(access) {}

PtyBridge::~PtyBridge() { Stop(); }

bool PtyBridge::Start(const std::vector<std::string>& comNames, std::string* error) {
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  watch_ = std::make_unique<TerminalWatch>(note_);
  if (stopFd_ < 0 || !watch_->Valid()) {
    *error = stopFd_ < 0 ? "eventfd failed" : watch_->Error();
    Stop();
    return false;
  }
  // Without real-time priority the watch sees a close too late for a program that reopens at
  // once, which the terminal's exclusivity would then refuse.
  if (exclusive_ && !watch_->Prompt()) {
    exclusive_ = false;
    note_("no real-time priority for the watch of the terminals: ports are not exclusive, so that a "
          "program that reopens at once is not refused");
  }
  for (const std::string& name : comNames) {
    auto port = std::make_unique<PortBridge>(name, LinkOf(name), explainRefusal_, *watch_, exclusive_, access_,
                                             stopFd_, note_);
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
  if (stopFd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);  // stays readable
  }
  ports_.clear();
  watch_.reset();
  if (stopFd_ >= 0) close(stopFd_);
  stopFd_ = -1;
}

std::string PtyBridge::LinkOf(const std::string& comName) const { return directory_ + "/" + comName; }

std::vector<std::string> PublishedComNames() {
  static const std::string kPrefix = "\\DosDevices\\";
  std::vector<std::string> names;
  for (const auto& entry : host::ob::List()) {
    if (entry.kind != host::ob::Kind::SymbolicLink || entry.name.rfind(kPrefix, 0) != 0) continue;
    names.push_back(entry.name.substr(kPrefix.size()));
  }
  return names;
}

}  // namespace ptybridge
