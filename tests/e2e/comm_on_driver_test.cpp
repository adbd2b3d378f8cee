// The comm layer against the real driver, live, with an emulated remote behind COM3 over real
// UDP on loopback: what reaches the remote, the driver's refusals as the caller sees them, and
// reads in every timeout mode.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <thread>
#include <vector>

#include "comm.h"
#include "host/ddk/ntddser.h"
#include "host/session/executive.h"
#include "support/driver_session.h"
#include "support/executive_session.h"

namespace {

using namespace comm;
using testsupport::WaitUntil;
using namespace std::chrono_literals;

constexpr uint8_t kChannel = 0;

// Address space for a transfer of 2^31 bytes; its pages stay untouched but for what the I/O
// manager's buffer copy reads.
struct HugeBuffer {
  static constexpr DWORD kBytes = 0x80000000u;
  void* at = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ~HugeBuffer() { munmap(at, kBytes); }
};

class CommOnDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<testsupport::DriverSession>(true);
    server_ = &session_->AddOnePort(devserver::BackendKind::Echo);
    ASSERT_EQ(session_->Load(), STATUS_SUCCESS);
    port_ = OpenPort("COM3");
    ASSERT_TRUE(port_.IsOpen()) << ErrorName(GetLastError());
  }
  void TearDown() override {
    port_.Close();
    session_.reset();
  }
  std::string RemoteSettings() const {
    const auto settings = server_->Channel(kChannel).settings;
    return settings ? settings->Describe() : "none";
  }

  std::unique_ptr<testsupport::DriverSession> session_;
  devserver::DeviceServer* server_ = nullptr;
  Port port_;
};

// The requests each call makes, in their order, are the comm layer suite's; here what the
// driver makes of them: the settings at the remote, and a refused state set back.
TEST_F(CommOnDriver, StateCallsReachTheRemoteAndARefusedStateIsSetBack) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port_, dcb));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  ASSERT_TRUE(SetCommState(port_, dcb)) << ErrorName(GetLastError());
  ASSERT_TRUE(WaitUntil([&] { return RemoteSettings().starts_with("9600 7E1 rts=handshake"); }, 5s))
      << RemoteSettings();

  // Nine data bits: the driver refuses the line control, and the rate set before it is set back.
  DCB wrong = dcb;
  wrong.BaudRate = 19200;
  wrong.ByteSize = 9;
  EXPECT_FALSE(SetCommState(port_, wrong));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DCB now{};
  ASSERT_TRUE(GetCommState(port_, now));
  EXPECT_EQ(now.BaudRate, 9600u);
  EXPECT_EQ(now.ByteSize, 7);
  ASSERT_TRUE(WaitUntil([&] { return RemoteSettings().starts_with("9600 7E1"); }, 5s)) << RemoteSettings();
}

TEST_F(CommOnDriver, TheDriversRefusalsReachTheCallerAsThePlatformReportsThem) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port_, dcb));
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(port_, dcb));
  struct Refusal {
    const char* call;
    std::function<BOOL()> make;
    DWORD error;
  };
  std::vector<Refusal> refusals = {
      {"EscapeCommFunction(SETXOFF)", [&] { return EscapeCommFunction(port_, SETXOFF); }, ERROR_INVALID_FUNCTION},
      {"EscapeCommFunction(SETRTS) under RTS handshake", [&] { return EscapeCommFunction(port_, SETRTS); },
       ERROR_INVALID_PARAMETER},
      {"SetCommTimeouts with every read value MAXDWORD",
       [&] {
         COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
         return SetCommTimeouts(port_, timeouts);
       },
       ERROR_INVALID_PARAMETER},
      {"SetCommMask with an unknown event", [&] { return SetCommMask(port_, 0x4000); }, ERROR_INVALID_PARAMETER},
      {"PurgeComm with no flag", [&] { return PurgeComm(port_, 0); }, ERROR_INVALID_PARAMETER},
  };
  // Transfers of 2^31 bytes or more, whose lengths the driver counts signed (a 32-bit process
  // has no room for one). Reads would return at once, not wait.
  COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port_, atOnce));
  if (sizeof(void*) == 8) {
    refusals.push_back({"ReadFile of 2^31 bytes",
                        [&] { return ReadFile(port_, HugeBuffer().at, HugeBuffer::kBytes, nullptr, nullptr); },
                        ERROR_INVALID_PARAMETER});
    refusals.push_back({"WriteFile of 2^31 bytes",
                        [&] { return WriteFile(port_, HugeBuffer().at, HugeBuffer::kBytes, nullptr, nullptr); },
                        ERROR_INVALID_PARAMETER});
  }
  for (const auto& refusal : refusals) {
    SetLastError(0);
    EXPECT_FALSE(refusal.make()) << refusal.call;
    EXPECT_EQ(GetLastError(), refusal.error) << refusal.call << ": " << ErrorName(GetLastError());
  }

  Port second = OpenPort("COM3");
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "the port is exclusive";

  // What is accepted reaches the line: the immediate character, then a write.
  ASSERT_TRUE(TransmitCommChar(port_, '!'));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port_, "ok", 2, &written, nullptr));
  EXPECT_EQ(written, 2u);
  ASSERT_TRUE(server_->WaitForWritten(kChannel, 3, 5s));
  const auto line = server_->Written(kChannel);
  EXPECT_EQ(std::string(line.begin(), line.end()), "!ok");
}

// ReadFile in every timeout mode, on the manual clock, the remote's line sending 5 bytes and, 50 ms
// later, 5 more: a read takes bytes as they come and ends when its mode says so, with them.
class CommReadTimeouts : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = &session_.AddOnePort(devserver::BackendKind::Programmatic);
    ASSERT_EQ(session_.Load(), STATUS_SUCCESS);
    // The open busy-waits on the manual clock; the remote's reply comes in real time meanwhile.
    host::session::OnManualStall([&, opener = std::this_thread::get_id()] {
      if (std::this_thread::get_id() == opener) {
        WaitUntil([&] { return server_->Channel(kChannel).open; }, 5s);
      }
    });
    port_ = OpenPort("COM3");
    host::session::OnManualStall(nullptr);
    ASSERT_TRUE(port_.IsOpen()) << ErrorName(GetLastError());
  }
  void TearDown() override { port_.Close(); }
  // Five line bytes reach the port and its data call runs.
  void Arrive(uint8_t first) {
    const uint8_t bytes[] = {first, uint8_t(first + 1), uint8_t(first + 2), uint8_t(first + 3),
                             uint8_t(first + 4)};
    server_->InjectLineBytes(kChannel, bytes);
    ASSERT_TRUE(WaitUntil([] { return host::session::QueuedDpcCount() > 0; }, 5s));
    host::session::RunQueuedDpcs();
  }

  testsupport::DriverSession session_;
  devserver::DeviceServer* server_ = nullptr;
  Port port_;
};

TEST_F(CommReadTimeouts, AReadTakesBytesAsTheyComeAndEndsWhenItsModeSays) {
  struct Mode {
    const char* name;
    COMMTIMEOUTS timeouts;
    DWORD length;
    bool readAfterFirst;
    int endsFrom, endsBy;  // of the checkpoints 0, 50, 100, 200, 2000 (ms), the first finding
                           // it ended; the sender's pauses move the manual clock a little too
    DWORD bytes;
  } modes[] = {
      {"total 1000 ms", {0, 0, 1000, 0, 0}, 10, false, 50, 50, 10},
      {"all zero: only when full", {0, 0, 0, 0, 0}, 10, false, 50, 50, 10},
      {"first byte, 2000 ms", {MAXDWORD, MAXDWORD, 2000, 0, 0}, 10, false, 0, 0, 5},
      {"interval 50 ms: 50-150 ms after the last byte", {50, 0, 0, 0, 0}, 20, false, 100, 200, 10},
      {"at once", {MAXDWORD, 0, 0, 0, 0}, 10, true, 0, 0, 5},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.name);
    ASSERT_TRUE(SetCommTimeouts(port_, mode.timeouts));
    std::vector<uint8_t> buffer(mode.length);
    Overlapped read;
    DWORD got = 0;
    auto start = [&] { ReadFile(port_, buffer.data(), mode.length, &got, &read); };
    if (!mode.readAfterFirst) start();
    Arrive(1);
    if (mode.readAfterFirst) start();
    int endedAt = -1, now = 0;
    for (int at : {0, 50, 100, 200, 2000}) {
      host::session::AdvanceClock((at - now) * testsupport::kMillisecond);
      now = at;
      if (at == 50) Arrive(6);
      if (GetOverlappedResult(port_, read, got, FALSE)) {
        endedAt = at;
        break;
      }
    }
    EXPECT_GE(endedAt, mode.endsFrom);
    EXPECT_LE(endedAt, mode.endsBy);
    EXPECT_EQ(got, mode.bytes);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + got), [&] {
      std::vector<uint8_t> expected(got);
      for (DWORD i = 0; i < got; i++) expected[i] = static_cast<uint8_t>(1 + i);
      return expected;
    }());
    PurgeComm(port_, PURGE_RXCLEAR | PURGE_RXABORT);
  }
}

}  // namespace
