// The comm layer against the real driver, live, with an emulated remote behind COM3 over real
// UDP on loopback: what reaches the remote, the driver's refusals as the caller sees them, and
// reads in every timeout mode.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <numeric>
#include <thread>
#include <tuple>
#include <vector>

#include "comm.h"
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

// The requests each call makes, in their order, are the comm layer suite's; here what the
// driver makes of them: the settings at the remote, its refusals as the platform reports them
// (a refused state set back), and what it accepts on the line.
TEST(CommOnDriver, StateReachesTheRemoteRefusalsReachTheCallerAndAcceptedBytesTheLine) {
  testsupport::DriverSession session(true);
  devserver::DeviceServer& server = session.AddOnePort(devserver::BackendKind::Echo);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  Port port = OpenPort("COM3");
  ASSERT_TRUE(port.IsOpen()) << ErrorName(GetLastError());
  auto RemoteSettings = [&] {
    const auto settings = server.Channel(kChannel).settings;
    return settings ? settings->Describe() : "none";
  };
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, dcb));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  ASSERT_TRUE(SetCommState(port, dcb)) << ErrorName(GetLastError());
  ASSERT_TRUE(WaitUntil([&] { return RemoteSettings().starts_with("9600 7E1 rts=handshake"); }, 5s))
      << RemoteSettings();
  // Transfers of 2^31 bytes or more, whose lengths the driver counts signed (a 32-bit process
  // has no room for one). Reads would return at once, not wait.
  COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, atOnce));
  const bool huge = sizeof(void*) == 8;
  const std::tuple<const char*, std::function<BOOL()>, DWORD> refusals[] = {
      {"EscapeCommFunction(SETXOFF)", [&] { return EscapeCommFunction(port, SETXOFF); }, ERROR_INVALID_FUNCTION},
      {"EscapeCommFunction(SETRTS) under RTS handshake", [&] { return EscapeCommFunction(port, SETRTS); },
       ERROR_INVALID_PARAMETER},
      {"SetCommTimeouts with every read value MAXDWORD",
       [&] { return SetCommTimeouts(port, COMMTIMEOUTS{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0}); },
       ERROR_INVALID_PARAMETER},
      {"SetCommMask with an unknown event", [&] { return SetCommMask(port, 0x4000); }, ERROR_INVALID_PARAMETER},
      {"PurgeComm with no flag", [&] { return PurgeComm(port, 0); }, ERROR_INVALID_PARAMETER},
      // The driver refuses the line control; the rate set before it is set back.
      {"SetCommState with nine data bits",
       [&] {
         DCB wrong = dcb;
         wrong.BaudRate = 19200;
         wrong.ByteSize = 9;
         return SetCommState(port, wrong);
       },
       ERROR_INVALID_PARAMETER},
      {"ReadFile of 2^31 bytes",
       [&] { return !huge || ReadFile(port, HugeBuffer().at, HugeBuffer::kBytes, nullptr, nullptr); },
       huge ? ERROR_INVALID_PARAMETER : 0},
      {"WriteFile of 2^31 bytes",
       [&] { return !huge || WriteFile(port, HugeBuffer().at, HugeBuffer::kBytes, nullptr, nullptr); },
       huge ? ERROR_INVALID_PARAMETER : 0},
  };
  for (const auto& [call, make, error] : refusals) {
    SetLastError(0);
    EXPECT_EQ(make(), !error) << call;
    EXPECT_EQ(GetLastError(), error) << call << ": " << ErrorName(GetLastError());
  }
  DCB now{};
  ASSERT_TRUE(GetCommState(port, now));
  EXPECT_EQ(std::pair(now.BaudRate, now.ByteSize), std::pair(9600u, BYTE(7)));
  ASSERT_TRUE(WaitUntil([&] { return RemoteSettings().starts_with("9600 7E1"); }, 5s)) << RemoteSettings();

  Port second = OpenPort("COM3");
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "the port is exclusive";
  ASSERT_TRUE(TransmitCommChar(port, '!'));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port, "ok", 2, &written, nullptr));
  EXPECT_EQ(written, 2u);
  ASSERT_TRUE(server.WaitForWritten(kChannel, 3, 5s));
  const auto line = server.Written(kChannel);
  EXPECT_EQ(std::string(line.begin(), line.end()), "!ok");
}

// ReadFile in every timeout mode, on the manual clock, the remote's line sending 5 bytes and, 50 ms
// later, 5 more: a read takes bytes as they come and ends when its mode says so, with them.
TEST(CommReadTimeouts, AReadTakesBytesAsTheyComeAndEndsWhenItsModeSays) {
  testsupport::DriverSession session;
  devserver::DeviceServer& server = session.AddOnePort(devserver::BackendKind::Programmatic);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  // The open busy-waits on the manual clock; the remote's reply comes in real time meanwhile.
  host::session::OnManualStall([&, opener = std::this_thread::get_id()] {
    if (std::this_thread::get_id() == opener) WaitUntil([&] { return server.Channel(kChannel).open; }, 5s);
  });
  Port port = OpenPort("COM3");
  host::session::OnManualStall(nullptr);
  ASSERT_TRUE(port.IsOpen()) << ErrorName(GetLastError());
  // Five line bytes reach the port and its data call runs.
  auto Arrive = [&](uint8_t first) {
    std::vector<uint8_t> bytes(5);
    std::iota(bytes.begin(), bytes.end(), first);
    server.InjectLineBytes(kChannel, bytes);
    ASSERT_TRUE(WaitUntil([] { return host::session::QueuedDpcCount() > 0; }, 5s));
    host::session::RunQueuedDpcs();
  };
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
    ASSERT_TRUE(SetCommTimeouts(port, mode.timeouts));
    std::vector<uint8_t> buffer(mode.length);
    Overlapped read;
    DWORD got = 0;
    auto start = [&] { ReadFile(port, buffer.data(), mode.length, &got, &read); };
    if (!mode.readAfterFirst) start();
    Arrive(1);
    if (mode.readAfterFirst) start();
    int endedAt = -1, now = 0;
    for (int at : {0, 50, 100, 200, 2000}) {
      host::session::AdvanceClock((at - now) * testsupport::kMillisecond);
      now = at;
      if (at == 50) Arrive(6);
      if (GetOverlappedResult(port, read, got, FALSE)) {
        endedAt = at;
        break;
      }
    }
    EXPECT_GE(endedAt, mode.endsFrom);
    EXPECT_LE(endedAt, mode.endsBy);
    EXPECT_EQ(got, mode.bytes);
    std::vector<uint8_t> expected(got);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + got), expected);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_RXABORT);
  }
}

}  // namespace
