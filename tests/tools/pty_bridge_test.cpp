// The pseudo-terminal bridge with a recording driver behind COM3: what a program's open, its
// flushes and its close turn into on the port, the refusal of a second program and the welcome
// of the next, a port that does not open, the links it owns, the bridge's stop; and the
// translation of terminal settings into a port's DCB.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <tuple>

#include "host/ddk/ntddser.h"
#include "pty_bridge.h"
#include "support/child_program.h"
#include "support/executive_session.h"
#include "support/recording_serial_port.h"
#include "termios_translation.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BytesOf;
using testsupport::WaitUntil;
using Bytes = std::vector<uint8_t>;

// What another program, without the administrator's capability (which passes over a
// terminal's exclusivity), is told when it opens `path`: nothing when the open succeeds.
std::string OpenAsAnotherProgram(const std::string& path) {
  testsupport::ChildProgram child({"/usr/bin/setpriv", "--bounding-set=-sys_admin", "/bin/sh", "-c", "exec 3<>\"$0\"", path});
  return child.Wait() == 0 ? "" : child.Output();
}

// What the program reads within a second (-1 and errno for a failure, 0 at end of file).
ssize_t ReadSoon(int fd, char* buffer, size_t size) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 1000) > 0 ? read(fd, buffer, size) : -2;
}

class PtyBridgeTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    char directory[] = "/tmp/tessacom-pty-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    directory_ = directory;
    link_ = directory_ + "/COM3";
    recorder_ = std::make_unique<testsupport::RecordingSerialPort>("COM3");
    recorder_->AnswerWith(IOCTL_SERIAL_GET_BAUD_RATE, SERIAL_BAUD_RATE{38400});
    recorder_->AnswerWith(IOCTL_SERIAL_GET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8});
    recorder_->AnswerWith(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13});
    recorder_->AnswerWith(IOCTL_SERIAL_GET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0});
    bridge_ = std::make_unique<ptybridge::PtyBridge>(directory_,
        [this](const std::string& note) { std::lock_guard lock(notesLock_); notes_.push_back(note); },
        [](const std::string& name, double) { return "why " + name + " was refused"; }, /*exclusive=*/true);
    std::string error;
    ASSERT_TRUE(bridge_->Start({"COM3"}, &error)) << error;
  }
  void TearDown() override {
    bridge_.reset();
    recorder_.reset();
    rmdir(directory_.c_str());
    ManualExecutive::TearDown();
  }
  // Whether `count` requests of `major` are recorded (waiting for them).
  bool Posted(UCHAR major, size_t count = 1) const {
    return WaitUntil([&] {
      const auto majors = recorder_->Majors();
      return static_cast<size_t>(std::count(majors.begin(), majors.end(), major)) >= count;
    }, 5000ms);
  }
  // Whether a device control with `code` and `input` is recorded (waiting for it).
  bool Sent(ULONG code, const Bytes& input) const {
    return WaitUntil([&] {
      const auto all = recorder_->Requests();
      return std::any_of(all.begin(), all.end(), [&](const auto& r) { return r.code == code && r.input == input; });
    }, 5000ms);
  }
  // Opens the link as a program does, and answers the read that empties the port's ring with
  // `ring`, which the program must never see; returns once the bridge's own read is posted.
  int OpenServed(const Bytes& ring) {
    const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
    const SERIAL_TIMEOUTS atOnce{0xFFFFFFFF, 0, 0, 0, 0};
    EXPECT_TRUE(Sent(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(atOnce))) << "the ring is read out at once";
    EXPECT_TRUE(Posted(IRP_MJ_READ) && recorder_->ReleaseOldest(STATUS_SUCCESS, ring));
    const SERIAL_TIMEOUTS forLatency{0xFFFFFFFF, 0xFFFFFFFF, 200, 0, 0};
    EXPECT_TRUE(Sent(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(forLatency)));
    EXPECT_TRUE(Posted(IRP_MJ_READ, 2)) << "a read is kept posted";
    return fd;
  }
  ino_t LinkInode() const { struct stat s {}; return lstat(link_.c_str(), &s) == 0 ? s.st_ino : 0; }

  std::string directory_, link_;
  std::unique_ptr<testsupport::RecordingSerialPort> recorder_;
  std::unique_ptr<ptybridge::PtyBridge> bridge_;
  std::mutex notesLock_;
  std::vector<std::string> notes_;
};

// (A program's settings and bytes through the port, and what the ring held at the open kept
// from it, are the end-to-end suite's with the programs people use.)
TEST_F(PtyBridgeTest, AProgramsOpenAndCloseReachThePortAndASecondProgramIsRefused) {
  EXPECT_TRUE(recorder_->Requests().empty()) << "nothing before a program opens the link";
  const ino_t link = LinkInode();
  const int fd = OpenServed({'o', 'l', 'd'});
  ASSERT_GE(fd, 0);
  EXPECT_NE(OpenAsAnotherProgram(link_).find("Device or resource busy"), std::string::npos) << "a second program is refused";
  close(fd);
  ASSERT_TRUE(Posted(IRP_MJ_CLOSE)) << "the program's last close closes the port";
  const auto majors = recorder_->Majors();
  EXPECT_EQ(std::count(majors.begin(), majors.end(), IRP_MJ_CLEANUP), 1);
  EXPECT_EQ(LinkInode(), link) << "the same terminal serves the next program";
  EXPECT_EQ(OpenAsAnotherProgram(link_), "") << "the next program is welcome at once";
}

// A program's flushes purge the port and drop what it had not read; then the bridge's stop
// closes the port it holds (cancelling the posted read), hangs it up and removes the link.
TEST_F(PtyBridgeTest, AProgramsFlushesPurgeThePortAndTheStopHangsItUp) {
  const int fd = OpenServed({});
  ASSERT_GE(fd, 0);
  const struct {
    int queue;
    ULONG purge;
  } flushes[] = {{TCOFLUSH, SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR},
                 {TCIFLUSH, SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR}};
  for (const auto& flush : flushes) {
    ASSERT_EQ(tcflush(fd, flush.queue), 0);
    EXPECT_TRUE(Sent(IOCTL_SERIAL_PURGE, BytesOf(flush.purge))) << "queue " << flush.queue;
  }
  // The read posted before the input flush, and the read that empties the ring after it, bring
  // bytes the program discarded; the next read's are the program's.
  ASSERT_TRUE(recorder_->ReleaseOldest(STATUS_SUCCESS, {'p', 'o', 's', 't', 'e', 'd'}));
  ASSERT_TRUE(Posted(IRP_MJ_READ, 3) && recorder_->ReleaseOldest(STATUS_SUCCESS, {'r', 'i', 'n', 'g'}));
  ASSERT_TRUE(Posted(IRP_MJ_READ, 4) && recorder_->ReleaseOldest(STATUS_SUCCESS, {'n', 'e', 'w'}));
  char buffer[16] = {};
  EXPECT_EQ(ReadSoon(fd, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "new");

  ASSERT_TRUE(Posted(IRP_MJ_READ, 5));
  bridge_->Stop();
  EXPECT_EQ(recorder_->Majors().back(), IRP_MJ_CLOSE);
  EXPECT_EQ(recorder_->HeldCount(), 0u) << "the posted read was cancelled";
  EXPECT_NE(access(link_.c_str(), F_OK), 0);
  EXPECT_EQ(ReadSoon(fd, buffer, sizeof buffer), 0);
  close(fd);
}

TEST_F(PtyBridgeTest, APortThatDoesNotOpenLeavesTheProgramAHungUpTerminal) {
  recorder_->AnswerCreate(STATUS_FILES_OPEN);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const ino_t link = LinkInode();
    const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << "a pseudo-terminal cannot refuse the open itself";
    char buffer[4];
    // Linux gives end of file, or EIO when it sees the master gone before the hang-up.
    const ssize_t got = ReadSoon(fd, buffer, sizeof buffer);
    EXPECT_TRUE(got == 0 || (got == -1 && errno == EIO)) << "end of file or EIO, got " << got;
    // The master's close marks the other side closed (reads fail) a moment before it hangs the
    // terminal up (writes fail).
    EXPECT_TRUE(WaitUntil([&] { return write(fd, "x", 1) == -1 && errno == EIO; }, 5000ms)) << "writes fail";
    close(fd);
    ASSERT_TRUE(WaitUntil([&] { return LinkInode() != link && LinkInode() != 0; }, 5000ms)) << "a fresh terminal";
  }
  {
    std::lock_guard lock(notesLock_);
    const std::string refused = "COM3: the port did not open (ERROR_OPEN_FILES: why COM3 was refused)";
    EXPECT_EQ(std::count_if(notes_.begin(), notes_.end(), [&](const auto& n) { return n.find(refused) != std::string::npos; }), 1)
        << "said once";
  }

  recorder_->AnswerCreate(STATUS_SUCCESS);
  const int again = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(again, 0);
  EXPECT_TRUE(Posted(IRP_MJ_READ)) << "the next program's open goes through";
  close(again);
}

// What stands where a port's link goes: a file or a link elsewhere is refused and left as it
// was, and a file beside it is never touched; a link to a terminal an earlier bridge left is
// replaced, and the link made is removed at the stop. The terminal is given the owner, group
// and mode asked for.
TEST_F(PtyBridgeTest, TheBridgeRemovesOnlyTheLinksItMadeAndGivesItsTerminalsAway) {
  const std::string link = directory_ + "/COM4", beside = link + ".new";
  std::ofstream(beside) << "mine";
  const std::pair<std::string, const char*> cases[] = {  // what stands there; the refusal, or null
      {"", "exists and is not a link"},                   // a user's file
      {"/etc/hostname", "is a link to /etc/hostname, not to a pseudo-terminal"},
      {"/dev/pts/999999", nullptr},
  };
  for (const auto& [target, refusal] : cases) {
    if (target.empty()) std::ofstream(link) << "mine";
    ASSERT_TRUE(target.empty() || symlink(target.c_str(), link.c_str()) == 0);
    struct stat before {}, after {}, terminal {};
    lstat(link.c_str(), &before);
    {
      ptybridge::PtyBridge other(directory_, [](const std::string&) {}, {}, false,
                                 ptybridge::TerminalAccess{getuid(), getgid(), 0640});
      std::string error;
      EXPECT_EQ(other.Start({"COM4"}, &error), refusal == nullptr) << target << ": " << error;
      EXPECT_TRUE(refusal == nullptr || error.find(refusal) != std::string::npos) << target << ": " << error;
      EXPECT_TRUE(refusal != nullptr || (stat(link.c_str(), &terminal) == 0 && terminal.st_uid == getuid() &&
                                         terminal.st_gid == getgid() && (terminal.st_mode & 07777) == 0640u));
    }
    const bool stands = lstat(link.c_str(), &after) == 0;
    EXPECT_EQ(stands, refusal != nullptr) << target << ": refused and kept, or served and removed at the stop";
    EXPECT_TRUE(!stands || (after.st_ino == before.st_ino && after.st_mtime == before.st_mtime)) << target;
    unlink(link.c_str());
  }
  std::ifstream kept(beside);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "mine") << "the file beside the link";
  unlink(beside.c_str());
}

// ---- terminal settings as a DCB ----

ptybridge::TerminalMode ModeWith(tcflag_t cflag, tcflag_t iflag = 0, speed_t rate = 0) {
  ptybridge::TerminalMode mode{};
  mode.c_cflag = cflag;
  mode.c_iflag = iflag;
  mode.c_ospeed = rate;
  mode.c_cc[VSTART] = 0x11;
  mode.c_cc[VSTOP] = 0x13;
  return mode;
}

TEST(TermiosTranslation, SettingsBecomeTheDcbOfThePort) {
  using namespace comm;
  DCB current{};
  current.BaudRate = 4800;
  current.EvtChar = '~';
  const struct {
    const char* name;
    ptybridge::TerminalMode mode;
    uint32_t rate;
    int size, parity, stop;
    bool rtscts, outX, inX;
  } cases[] = {
      {"9600 8N1", ModeWith(B9600 | CS8), 9600, 8, NOPARITY, ONESTOPBIT, false, false, false},
      {"a rate by number", ModeWith(0010000 | CS8, 0, 250000), 250000, 8, NOPARITY, ONESTOPBIT, false, false, false},
      {"B0 keeps the rate", ModeWith(B0 | CS7 | PARENB), 4800, 7, EVENPARITY, ONESTOPBIT, false, false, false},
      {"5 bits, two stop: 1.5", ModeWith(B110 | CS5 | CSTOPB), 110, 5, NOPARITY, ONE5STOPBITS, false, false, false},
      {"odd, two stop", ModeWith(B57600 | CS8 | PARODD | CSTOPB), 57600, 8, ODDPARITY, TWOSTOPBITS, false, false, false},
      {"mark", ModeWith(B38400 | CS8 | CMSPAR | PARODD), 38400, 8, MARKPARITY, ONESTOPBIT, false, false, false},
      {"space", ModeWith(B38400 | CS8 | CMSPAR | PARENB), 38400, 8, SPACEPARITY, ONESTOPBIT, false, false, false},
      {"RTS/CTS", ModeWith(B4000000 | CS6 | CRTSCTS), 4000000, 6, NOPARITY, ONESTOPBIT, true, false, false},
      {"XON/XOFF", ModeWith(B1200 | CS8, IXON | IXOFF), 1200, 8, NOPARITY, ONESTOPBIT, false, true, true},
  };
  for (const auto& c : cases) {
    const DCB dcb = ptybridge::PortStateFor(c.mode, current);
    EXPECT_EQ(std::tuple(dcb.BaudRate, +dcb.ByteSize, +dcb.Parity, +dcb.StopBits), std::tuple(c.rate, c.size, c.parity, c.stop))
        << c.name;
    const int rts = static_cast<int>(c.rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE);
    EXPECT_EQ(std::tuple(+dcb.fOutxCtsFlow, +dcb.fRtsControl, +dcb.fOutX, +dcb.fInX, +dcb.fDtrControl),
              std::tuple(int{c.rtscts}, rts, int{c.outX}, int{c.inX}, int{DTR_CONTROL_ENABLE})) << c.name;
    EXPECT_EQ(dcb.EvtChar, '~') << c.name << ": what termios does not say is kept";
  }
  ptybridge::TerminalMode same = ModeWith(B9600 | CS8);
  same.c_cc[VSTART] = same.c_cc[VSTOP] = 0;
  current.XonChar = 0x11;
  current.XoffChar = 0x13;
  const DCB dcb = ptybridge::PortStateFor(same, current);
  EXPECT_EQ(dcb.XonChar, 0x11) << "equal start and stop characters, which a port refuses, are not taken";
  EXPECT_TRUE(ptybridge::SameSettings(dcb, ptybridge::PortStateFor(same, dcb)));
}

}  // namespace
