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

// Opens, writes a short message, reads its echo and closes, 200 times with no pause between,
// with pyserial or with the system's own calls (argv[2]); counts how each cycle ended. Exits 0
// when every cycle got its echo. Run without the administrator's capability, so that an
// exclusivity the terminal kept from the last program would refuse it as an ordinary user's.
constexpr const char* kReopenLoop = R"py(
import errno, os, select, serial, sys, time
path, how, cycles = sys.argv[1], sys.argv[2], 200
def by_pyserial(message):
    port = serial.Serial(path, 9600, timeout=2)
    try:
        port.write(message)
        return port.read(len(message))
    finally:
        port.close()
def by_os(message):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(fd, message)
        back, deadline = b"", time.monotonic() + 2
        while len(back) < len(message) and select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(fd, 64)
            if not chunk:
                raise EOFError
            back += chunk
        return back
    finally:
        os.close(fd)
counts = {"good": 0, "end of file": 0, "EIO": 0, "EBUSY": 0, "other": 0}
failures = []  # the first few bad cycles: which, after how long, and what came back or was raised
for i in range(cycles):
    message, start, kind, what = b"ping %d;" % i, time.monotonic(), "good", ""
    try:
        back = (by_pyserial if how == "pyserial" else by_os)(message)
        kind, what = ("good", "") if back == message else ("other", repr(back))
    except EOFError:
        kind = "end of file"
    except (OSError, serial.SerialException) as e:
        kind, what = {errno.EIO: "EIO", errno.EBUSY: "EBUSY"}.get(getattr(e, "errno", None), "other"), repr(e)
    counts[kind] += 1
    if kind != "good" and len(failures) < 5:
        failures.append("cycle %d, %s after %.3f s: %s" % (i, kind, time.monotonic() - start, what))
print(how, counts)
for line in failures:
    print("  " + line)
sys.exit(0 if counts["good"] == cycles else 1)
)py";

// At 9600 baud with a one-second write timeout, a mebibyte's write ends at its timeout with
// part of it written, as on a line: the bridge does not take the program's bytes far ahead of
// the port.
constexpr const char* kWriteTimeout = R"py(
import serial, sys, time
port = serial.Serial(sys.argv[1], 9600, write_timeout=1)
start = time.monotonic()
try:
    port.write(bytes(1 << 20)); outcome = "all written"
except serial.SerialTimeoutException:
    outcome = "timed out"
elapsed = time.monotonic() - start
print("write of 1 MiB: %s after %.2f s" % (outcome, elapsed))
sys.exit(0 if outcome == "timed out" and 0.9 <= elapsed < 3 else 1)
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
  // Runs a Python script with the link and `arguments` (under `launcher`, a command that runs
  // the rest); its exit status, what it printed in `output`.
  int RunPython(const char* text, const std::string& arguments, std::string* output, const std::string& launcher = "") {
    const std::string script = directory_ + "/session.py";
    FILE* file = fopen(script.c_str(), "w");
    if (file == nullptr) return -1;
    fputs(text, file);
    fclose(file);
    const int status = Run(launcher + kPython + " " + script + " " + link_ + " " + arguments, output);
    std::printf("%s", output->c_str());
    unlink(script.c_str());
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

TEST_F(ProgramsOnPorts, PyserialSetsTheLineAndAMebibyteComesBackThroughTheEcho) {
  std::string printed;
  EXPECT_EQ(RunPython(kPyserialSession, "", &printed), 0) << printed;

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

// A program that opens the port as soon as the previous one closed it gets a working port.
TEST_F(ProgramsOnPorts, EveryOneOf200ReopensWithNoPauseGetsItsEcho) {
  for (const char* how : {"pyserial", "os"}) {
    std::string printed;
    EXPECT_EQ(RunPython(kReopenLoop, how, &printed, "setpriv --bounding-set=-sys_admin "), 0) << printed << Notes();
  }
}

TEST_F(ProgramsOnPorts, AWriteEndsAtItsTimeoutAsOnALine) {
  std::string printed;
  EXPECT_EQ(RunPython(kWriteTimeout, "", &printed), 0) << printed;
  EXPECT_LT(server_->Written(kChannel).size(), size_t{1} << 20);
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
