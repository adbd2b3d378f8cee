// The device server on a real line, with a pseudo-terminal standing in for the serial device:
// the termios the device gets from each settings block, bytes both ways, breaks, and the
// refusal at start of a device that cannot be served.
//
// A pseudo-terminal holds less than a serial line: the kernel forces 8 data bits and no
// parity on every change, and it has no break (the request succeeds and nothing reaches the
// other side). So this suite's binary is linked with tcsetattr and ioctl wrapped: the termios
// the server asks of the line and its break requests are seen where it makes them, and what
// the pseudo-terminal does hold is checked on its far side as well.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devserver.h"
#include "support/device_servers.h"
#include "support/executive_session.h"
#include "support/loopback_address.h"
#include "support/udp_peer.h"

static std::mutex requestsLock;
static std::vector<std::pair<dev_t, unsigned long>> breakRequests;  // the line's device, the request
static std::optional<termios> lastModeAsked;

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __real_tcsetattr(int fd, int when, const termios* mode);

extern "C" int __wrap_ioctl(int fd, unsigned long request, void* argument) {
  struct stat line {};
  if ((request == TIOCSBRK || request == TIOCCBRK) && fstat(fd, &line) == 0) {
    std::lock_guard lock(requestsLock);
    breakRequests.push_back({line.st_rdev, request});
  }
  return __real_ioctl(fd, request, argument);
}

extern "C" int __wrap_tcsetattr(int fd, int when, const termios* mode) {
  { std::lock_guard lock(requestsLock); lastModeAsked = *mode; }
  return __real_tcsetattr(fd, when, mode);
}

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
constexpr uint8_t kChannel = 5;

// A settings block with the given receive-flow word and mode word.
Bytes Block(uint16_t word0, uint16_t mode) {
  return {uint8_t(word0), uint8_t(word0 >> 8), 0, 0, uint8_t(mode), uint8_t(mode >> 8), 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

class RealLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    device_ = ptsname(master_);
    const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
    server_ = testsupport::StartDeviceServer(
        driverAddress, {.channelBackends = {{kChannel, devserver::BackendKind::Tty}}, .channelDevices = {{kChannel, device_}}});
    driver_ = std::make_unique<testsupport::UdpPeer>(driverAddress, 519);
    Send(devserver::kOpen, 1, Block(0, 0x0CBF));
    ASSERT_TRUE(server_->WaitForOpen(kChannel, 2s));
  }
  void TearDown() override {
    server_.reset();
    close(master_);
  }
  void Send(uint8_t type, uint8_t sequence, const Bytes& payload = {}) {
    ASSERT_TRUE(driver_->SendTo(server_->Local().address, 519, devserver::Encode(type, kChannel, sequence, payload)));
  }
  // The device's termios (the terminal side, as the master sees it) once `ready` holds.
  bool DeviceMode(const std::function<bool(const termios&)>& ready) const {
    return testsupport::WaitUntil([&] {
      termios mode{};
      return tcgetattr(master_, &mode) == 0 && ready(mode);
    }, 2000ms);
  }

  int master_ = -1;
  std::string device_;
  std::unique_ptr<devserver::DeviceServer> server_;
  std::unique_ptr<testsupport::UdpPeer> driver_;
};

TEST_F(RealLineTest, EachSettingsBlockSetsTheDevicesTermios) {
  const struct {
    const char* name;
    uint16_t word0, mode;
    speed_t speed;
    tcflag_t cflags;  // among CSIZE, CSTOPB, PARENB, PARODD, CMSPAR, CRTSCTS
    bool xoff;
  } cases[] = {
      {"38400 8N1", 0, 0x0CBF, B38400, CS8, false},
      {"9600 7E1, RTS handshake, receive flow", 0x1400, 0x05AD, B9600, CS7 | PARENB | CRTSCTS, true},
      {"115200 5O1.5", 0, 0x0FC5, B115200, CS5 | PARENB | PARODD | CSTOPB, false},
      {"no rate code, 8N2: the rate stays", 0, 0x0CF0, B115200, CS8 | CSTOPB, false},
  };
  const tcflag_t watched = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
  const tcflag_t held = CSTOPB | PARODD | CMSPAR | CRTSCTS;  // what a pseudo-terminal keeps
  for (const auto& c : cases) {
    Send(devserver::kSettings, 0, Block(c.word0, c.mode));
    EXPECT_TRUE(DeviceMode([&](const termios& m) {
      return cfgetospeed(&m) == c.speed && cfgetispeed(&m) == c.speed &&
             (m.c_cflag & held) == (c.cflags & held) && ((m.c_iflag & IXOFF) != 0) == c.xoff;
    })) << c.name;
    std::lock_guard lock(requestsLock);
    ASSERT_TRUE(lastModeAsked);
    EXPECT_EQ(lastModeAsked->c_cflag & watched, c.cflags) << c.name;
  }
  EXPECT_TRUE(DeviceMode([](const termios& m) {
    return !(m.c_lflag & (ICANON | ECHO | ISIG)) && (m.c_iflag & IGNBRK) && !(m.c_iflag & INPCK) &&
           !(m.c_oflag & OPOST) && (m.c_cflag & CLOCAL);
  })) << "raw, breaks ignored, parity not checked";
}

TEST_F(RealLineTest, BytesFlowBothWaysAndBreaksReachTheDevice) {
  Send(devserver::kData, 2, {'A', 'T', '\r'});
  std::string seen;
  testsupport::WaitUntil([&] {
    char buffer[16];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) seen.append(buffer, static_cast<size_t>(n));
    return seen.size() >= 3;
  }, 2000ms);
  EXPECT_EQ(seen, "AT\r");
  ASSERT_EQ(write(master_, "OK\r\n", 4), 4);
  std::optional<testsupport::Received> reply;
  for (int i = 0; i < 10 && !(reply && reply->bytes[0] == devserver::kSeqData); ++i) reply = driver_->Receive(2000ms);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Bytes(reply->bytes.begin() + 4, reply->bytes.end()), (Bytes{'O', 'K', '\r', '\n'}));

  struct stat line {};
  ASSERT_EQ(stat(device_.c_str(), &line), 0);
  Send(devserver::kBreakOn, 0);
  Send(devserver::kBreakOff, 0);
  ASSERT_TRUE(server_->WaitForChannel(kChannel, [](const auto& c) { return c.breakOffs == 1; }, 2000ms));
  std::lock_guard lock(requestsLock);
  const std::vector<std::pair<dev_t, unsigned long>> expected = {{line.st_rdev, TIOCSBRK}, {line.st_rdev, TIOCCBRK}};
  EXPECT_EQ(breakRequests, expected) << "on the line's own descriptor";
}

TEST(RealLineStart, ADeviceThatCannotBeServedIsRefusedAtStartWithPathAndReason) {
  char file[] = "/tmp/tessacom-not-a-tty-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::pair<std::string, std::string> cases[] = {
      {"/nonexistent/ttyS9", "cannot open /nonexistent/ttyS9: No such file or directory"},
      {file, std::string(file) + " is not a terminal"},
  };
  for (const auto& [path, message] : cases) {
    devserver::ServerOptions options;
    options.bind = devserver::Endpoint{testsupport::UniqueLoopbackAddress(), 519};
    options.channelBackends[1] = devserver::BackendKind::Tty;
    options.channelDevices[1] = path;
    devserver::DeviceServer server(options);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find(message), std::string::npos) << error;
    EXPECT_FALSE(server.Running());
  }
  unlink(file);
}

}  // namespace
