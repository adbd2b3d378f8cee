// Programs people already use, on COM3 of the driver through the pseudo-terminal bridge: the
// distribution's pyserial and picocom, against an emulated remote with an echo plug, over real
// UDP on loopback. What the programs see is checked by the programs; what reaches the remote
// is checked here.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "pty_bridge.h"
#include "support/driver_session.h"
#include "support/executive_session.h"

namespace {

using namespace std::chrono_literals;
using testsupport::WaitUntil;

constexpr uint8_t kChannel = 0;  // the driver's channel 1

// The distribution's interpreter, which has the distribution's pyserial.
constexpr const char* kPython = "/usr/bin/python3";

// Opens the port at 9600 with odd parity, two stop bits and RTS/CTS; checks that a read with a
// half-second timeout and nothing sent returns nothing on time; then writes a mebibyte of
// seeded random bytes while reading them back through the echo. Exits 0 when every byte came
// back in order; prints what it saw.
constexpr const char* kPyserialSession = R"py(
import random, serial, sys, threading, time
port = serial.Serial(sys.argv[1], 9600, parity=serial.PARITY_ODD, stopbits=2, rtscts=True, timeout=0.5)
start = time.monotonic(); idle = port.read(10); waited = time.monotonic() - start
print("timeout read: %d bytes after %.3f s" % (len(idle), waited))
data = random.Random(7).randbytes(1 << 20)
writer = threading.Thread(target=port.write, args=(data,)); writer.start()
back = bytearray(); start = time.monotonic()
while len(back) < len(data) and time.monotonic() - start < 90:
    back += port.read(65536)
writer.join(timeout=5); elapsed = time.monotonic() - start
print("echo: %d of %d bytes back in %.1f s (%.0f B/s each way)" % (len(back), len(data), elapsed, len(back) / elapsed))
sys.exit(0 if bytes(back) == data and not idle and 0.45 <= waited < 2 else 1)
)py";

class ProgramsOnPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<testsupport::DriverSession>(true);
    server_ = &session_->AddOnePort(devserver::BackendKind::Echo);
    ASSERT_EQ(session_->Load(), STATUS_SUCCESS);
    char directory[] = "/tmp/tessacom-programs-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    directory_ = directory;
    bridge_ = std::make_unique<ptybridge::PtyBridge>(directory_, [](const std::string&) {});
    std::string error;
    ASSERT_TRUE(bridge_->Start({"COM3"}, &error)) << error;
    link_ = bridge_->LinkOf("COM3");
  }
  void TearDown() override {
    bridge_.reset();
    session_.reset();
    rmdir(directory_.c_str());
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
};

TEST_F(ProgramsOnPorts, PyserialSetsTheLineAndAMebibyteComesBackThroughTheEcho) {
  std::string printed;
  const std::string script = directory_ + "/session.py";
  FILE* file = fopen(script.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fputs(kPyserialSession, file);
  fclose(file);
  EXPECT_EQ(Run(std::string(kPython) + " " + script + " " + link_, &printed), 0) << printed;
  std::printf("%s", printed.c_str());
  unlink(script.c_str());

  // A pseudo-terminal forces eight data bits and drops the parity-enable flag, so odd parity
  // (which keeps its own flag) is what a program's parity can show here.
  const auto settings = server_->Channel(kChannel).settings;
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(settings->baudRate, 9600u);
  EXPECT_EQ(settings->parity, 'O');
  EXPECT_EQ(settings->stopHalves, 4u);
  EXPECT_TRUE(settings->rtsHandshake) << settings->Describe();
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

}  // namespace
