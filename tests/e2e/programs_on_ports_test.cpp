// Programs people already use, on COM3 of the driver through the pseudo-terminal bridge: the
// distribution's pyserial, picocom, stty and cat, against an emulated remote with an echo plug,
// over real UDP on loopback. What the programs see is checked by the programs; what reaches the
// remote is checked here.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>

#include "pty_bridge.h"
#include "support/driver_session.h"
#include "support/executive_session.h"

namespace {

using namespace std::chrono_literals;
using testsupport::WaitUntil;

constexpr uint8_t kChannel = 0;  // the driver's channel 1

// The distribution's interpreter, which has the distribution's pyserial, and the sessions it
// runs (tests/e2e/*.py), each on the port's terminal: what the programs see is checked there.
constexpr const char* kPython = "/usr/bin/python3 " TESSACOM_E2E_SCRIPTS "/";

class ProgramsOnPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<testsupport::DriverSession>(true);
    server_ = &session_->AddOnePort(devserver::BackendKind::Echo);
    ASSERT_EQ(session_->Load(), STATUS_SUCCESS);
    char directory[] = "/tmp/tessacom-programs-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    directory_ = directory;
    bridge_ = std::make_unique<ptybridge::PtyBridge>(directory_, [this](const std::string& note) {
      std::lock_guard lock(notesLock_);
      notes_ += "  bridge: " + note + "\n";
    });
    std::string error;
    ASSERT_TRUE(bridge_->Start({"COM3"}, &error)) << error;
    link_ = bridge_->LinkOf("COM3");
  }
  void TearDown() override {
    bridge_.reset();
    session_.reset();
    rmdir(directory_.c_str());
  }
  // Runs a Python session with the link and `arguments` (under `launcher`, a command that runs
  // the rest); its exit status, what it printed in `output`.
  int RunPython(const char* script, const std::string& arguments, std::string* output, const std::string& launcher = "") {
    const int status = Run(launcher + kPython + script + " " + link_ + " " + arguments, output);
    std::printf("%s", output->c_str());
    return status;
  }
  // Runs a shell command; its exit status, with what it printed added to `output`.
  static int Run(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[512];
    std::string printed;
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
    if (output != nullptr) *output += printed;
    return WEXITSTATUS(pclose(pipe));
  }

  std::unique_ptr<testsupport::DriverSession> session_;
  devserver::DeviceServer* server_ = nullptr;
  std::unique_ptr<ptybridge::PtyBridge> bridge_;
  std::string directory_, link_;
  std::mutex notesLock_;
  std::string notes_;  // what the bridge said, for a failure's message
  std::string Notes() {
    std::lock_guard lock(notesLock_);
    return notes_;
  }
};

// Then a write ends at its timeout with part of it written, as on a line: the bridge does not
// take the program's bytes far ahead of the port.
TEST_F(ProgramsOnPorts, PyserialSetsTheLineAMebibyteComesBackAndAWriteEndsAtItsTimeout) {
  std::string printed;
  EXPECT_EQ(RunPython("pyserial_session.py", "", &printed), 0) << printed;
  // A pseudo-terminal forces eight data bits and drops the parity-enable flag, so odd parity
  // (which keeps its own flag) is what a program's parity can show here.
  const auto settings = server_->Channel(kChannel).settings;
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(std::tuple(settings->baudRate, settings->parity, settings->stopHalves, settings->rtsHandshake),
            std::tuple(9600u, 'O', 4u, true)) << settings->Describe();
  const size_t echoed = server_->Written(kChannel).size();
  printed.clear();
  EXPECT_EQ(RunPython("write_timeout.py", "", &printed), 0) << printed;
  EXPECT_LT(server_->Written(kChannel).size() - echoed, size_t{1} << 20);
}

TEST_F(ProgramsOnPorts, PicocomUnderTmuxShowsTypedTextEchoedByTheRemote) {
  const std::string tmux = "TERM=xterm tmux -L tessacom-" + std::to_string(getpid()) + " ";
  ASSERT_EQ(Run(tmux + "new-session -d -s t -x 100 -y 20 'picocom -b 9600 --nolock " + link_ + "'"), 0);
  std::string screen;
  auto shows = [&](const std::string& text) {
    return WaitUntil([&] {
      screen.clear();
      Run(tmux + "capture-pane -p -t t", &screen);
      return screen.find(text) != std::string::npos;
    }, 20s);
  };
  EXPECT_TRUE(shows("Terminal ready")) << screen;
  Run(tmux + "send-keys -t t hello Enter");
  // picocom does not echo locally: what appears came back from the remote's echo plug.
  EXPECT_TRUE(shows("hello")) << screen;
  Run(tmux + "send-keys -t t C-a C-x");
  Run(tmux + "kill-server");
  const auto written = server_->Written(kChannel);
  EXPECT_EQ(std::string(written.begin(), written.end()), "hello\r");
}

// A program that opens the port as soon as the previous one closed it gets a working port. The
// loop runs without the administrator's capability, so that an exclusivity the terminal kept
// from the last program would refuse it as an ordinary user's.
TEST_F(ProgramsOnPorts, EveryOneOf200ReopensWithNoPauseGetsItsEcho) {
  for (const char* how : {"pyserial", "os"}) {
    std::string printed;
    EXPECT_EQ(RunPython("reopen_loop.py", how, &printed, "setpriv --bounding-set=-sys_admin "), 0) << printed << Notes();
  }
}

// Between programs the terminal is a serial port's: its rate stays, and what the remote sent
// while no program held the port (the echo of a program gone) is not the next one's.
TEST_F(ProgramsOnPorts, SttyThenCatKeepsTheRateAndGetsNoEarlierEcho) {
  std::string printed;
  EXPECT_EQ(Run("stty -F " + link_ + " 4800 && printf stale > " + link_ + " && sleep 0.3 && timeout 1 cat " + link_ +
                "; stty -F " + link_ + " speed", &printed),
            0);
  EXPECT_EQ(printed, "4800\n") << "cat printed nothing, the rate stayed";
  // Each session (cat's, and the one the bridge opens for the last stty) sets the port to the
  // terminal's rate after its open, which carries the driver's own.
  EXPECT_TRUE(server_->WaitForChannel(kChannel, [](const devserver::ChannelSnapshot& c) {
    return c.opens >= 3 && !c.open && c.settings && c.settings->baudRate == 4800;
  }, 5s));
}

}  // namespace
