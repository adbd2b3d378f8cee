// The data path end to end: the driver loaded in the live host, an application's handle on
// COM3, and an emulated remote over real UDP on loopback. Requests are cancelled and handles
// closed while completions, data and acknowledgements are under way, beside lost
// acknowledgements and remotes that go silent or flood. (Bulk data through a link that drops,
// duplicates, reorders and delays both ways is the soak's, which checks every byte.)
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

#include "host/ddk/ntddser.h"
#include "host/io/client.h"
#include "support/driver_session.h"
#include "support/executive_session.h"

using testsupport::WaitUntil;

namespace {

constexpr uint8_t kChannel = 0;

std::vector<uint8_t> Pattern(size_t count) {
  std::vector<uint8_t> bytes(count);
  std::mt19937 random(7);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// The emulators resend every 20 ms (the live clocks here run fast).
const devserver::ServerOptions kResending{.protocol = {.resendInterval = std::chrono::milliseconds(20)}};

// Immediate characters and flushes beside writes while half the acknowledgements are lost,
// every other round cancelled at a random moment against its completion: each request ends
// once, every write's bytes arrive once and in order, a character reported sent arrives once,
// a cancelled one at most once (it may have been placed just before), and none out of turn.
TEST(DataPathEndToEnd, ImmediateCharactersAndFlushesBesideWritesUnderLossAndCancellation) {
  testsupport::DriverSession session(true, 100);
  devserver::DeviceServer& server = session.AddOnePort(devserver::BackendKind::Programmatic, kResending);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  auto [opened, file] = host::io::Open("COM3");
  ASSERT_EQ(opened, STATUS_SUCCESS);
  server.SetFaults({.seed = 9, .toDriver = {.drop = 0.5}});
  std::mt19937 random(11);
  std::vector<uint8_t> expected;
  std::vector<uint8_t> sent;     // characters whose requests succeeded
  std::vector<uint8_t> allowed;  // and those cancelled, in the order asked
  for (uint8_t round = 0; round < 24; round++) {
    auto bytes = Pattern(300);
    for (auto& byte : bytes) byte &= 0x7F;  // the characters alone have the top bit
    auto write = file.WriteAsync(bytes.data(), static_cast<ULONG>(bytes.size()));
    auto flush = file.FlushAsync();
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    const UCHAR character = static_cast<UCHAR>(0x80 | round);
    auto immediate = file.DeviceControlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, &character, 1, nullptr, 0);
    if (round % 2) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
      immediate.Cancel();
      flush.Cancel();
    }
    EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
    const NTSTATUS flushed = flush.Wait().status;
    EXPECT_TRUE(flushed == STATUS_SUCCESS || (round % 2 && flushed == STATUS_CANCELLED));
    const NTSTATUS placed = immediate.Wait().status;
    ASSERT_TRUE(placed == STATUS_SUCCESS || (round % 2 && placed == STATUS_CANCELLED)) << round;
    if (placed == STATUS_SUCCESS) sent.push_back(character);
    allowed.push_back(character);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  const std::vector<uint8_t> last(200, 0x55);  // acknowledged behind every character placed
  ASSERT_EQ(file.Write(last.data(), static_cast<ULONG>(last.size())).status, STATUS_SUCCESS);
  expected.insert(expected.end(), last.begin(), last.end());
  std::vector<uint8_t> line = server.Written(kChannel);
  std::vector<uint8_t> arrived;
  std::erase_if(line, [&](uint8_t byte) { return byte & 0x80 ? arrived.push_back(byte), true : false; });
  EXPECT_TRUE(line == expected);
  ASSERT_TRUE(std::ranges::adjacent_find(arrived, std::greater_equal<>()) == arrived.end())
      << "each at most once, in turn";
  EXPECT_TRUE(std::ranges::includes(allowed, arrived));
  EXPECT_TRUE(std::ranges::includes(arrived, sent)) << "every character reported sent";
  EXPECT_GT(server.Stats().droppedOut, 0u);
}

// Threads open and close different ports of one server over and over, each time with a read
// under a short total timeout and a write in flight, while the line sends data to every
// channel: cleanup's cancellations meet completions and timer expiries, reads start while data
// arrives, closes meet the write's chunks and acknowledgements on the wire. Every open works,
// every request ends, and the unload finds nothing left.
TEST(DataPathRaces, ManyThreadsOpenAndCloseTheirPortsOnOneServer) {
  constexpr int kPorts = 6;
  testsupport::DriverSession session(true, 20);
  devserver::DeviceServer& server = session.AddServer(kResending);
  session.SetValue("MaxPort", kPorts);
  for (int n = 1; n <= kPorts; n++) session.Bind(n, server, static_cast<uint8_t>(n));
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  std::atomic<bool> stop{false};
  std::thread line([&] {
    for (int i = 0; i < 3000 && !stop; i++) {
      server.InjectLineBytes(static_cast<uint8_t>(1 + i % kPorts), Pattern(1 + i % 40));
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> users;
  for (int p = 0; p < kPorts; p++) {
    users.emplace_back([&, p] {
      std::mt19937 random(p);
      auto bytes = Pattern(300);
      uint8_t buffer[64];
      for (int round = 0; round < 15; round++) {
        auto opened = host::io::Open("COM" + std::to_string(3 + p));
        if (opened.status != STATUS_SUCCESS) {
          failures++;
          continue;
        }
        // Odd ports' reads end after 2 ms, the others' when full.
        SERIAL_TIMEOUTS timeouts{0, 0, ULONG(2 * (p % 2)), 0, 0};
        failures += opened.file.DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0)
                        .status != STATUS_SUCCESS;
        auto read = opened.file.ReadAsync(buffer, sizeof buffer);
        auto write = opened.file.WriteAsync(bytes.data(), static_cast<ULONG>(bytes.size()));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        if (opened.file.Close() != STATUS_SUCCESS) failures++;
        if (!read.WaitFor(std::chrono::seconds(10)) || !write.WaitFor(std::chrono::seconds(10))) failures++;
      }
    });
  }
  for (auto& user : users) user.join();
  stop = true;
  line.join();
  EXPECT_EQ(failures, 0);
  session.Unload();
}

// A remote that goes silent mid-write and comes back, and one that floods the driver with
// garbage and with packets for channels it does not serve: the silent one's write resumes
// through the polls and completes with every byte once; the other ports keep serving.
TEST(DataPathRemotes, SilentFloodingAndStrangeRemotesLeaveTheOtherPortsServing) {
  testsupport::DriverSession session(true, 100);
  devserver::DeviceServer& quiet = session.AddServer();
  devserver::DeviceServer& noisy = session.AddServer();
  session.SetValue("MaxPort", 2);
  session.Bind(1, quiet, 0);
  session.Bind(2, noisy, 0);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  auto com3 = host::io::Open("COM3");
  auto com4 = host::io::Open("COM4");
  ASSERT_EQ(com3.status, STATUS_SUCCESS);
  ASSERT_EQ(com4.status, STATUS_SUCCESS);
  auto carries = [&](host::io::File& file, devserver::DeviceServer& server, size_t count) {
    const size_t before = server.Written(0).size();
    auto bytes = Pattern(count);
    const host::io::Result wrote = file.Write(bytes.data(), static_cast<ULONG>(count));
    auto written = server.Written(0);
    return wrote.status == STATUS_SUCCESS && written.size() == before + count &&
           std::equal(bytes.begin(), bytes.end(), written.begin() + before);
  };

  auto bytes = Pattern(1500);
  auto write = com3.file.WriteAsync(bytes.data(), static_cast<ULONG>(bytes.size()));
  ASSERT_TRUE(quiet.WaitForWritten(0, 128, std::chrono::seconds(5)));
  quiet.SetFaults({.fromDriver = {.drop = 1}, .toDriver = {.drop = 1}});  // gone
  EXPECT_TRUE(carries(com4.file, noisy, 700));
  EXPECT_FALSE(write.WaitFor(std::chrono::milliseconds(300))) << "several polls unanswered";
  quiet.SetFaults({});  // back
  ASSERT_TRUE(write.WaitFor(std::chrono::seconds(10)));
  EXPECT_EQ(write.Current().status, STATUS_SUCCESS);
  EXPECT_TRUE(quiet.Written(0) == bytes) << "every byte once, in order";

  std::mt19937 random(9);
  for (int i = 0; i < 2000; i++) {
    std::vector<uint8_t> garbage(random() % 600);
    for (auto& byte : garbage) byte = static_cast<uint8_t>(random());
    if (garbage.size() > 1) garbage[1] |= 1;  // never channel 0, the one COM4 serves
    if (i % 2) garbage = devserver::Encode(static_cast<uint8_t>(random() % 16), 7 + i % 200,
                                           static_cast<uint8_t>(random() % 16), Pattern(i % 300));
    noisy.SendRaw(garbage);
  }
  EXPECT_TRUE(carries(com3.file, quiet, 500));
  EXPECT_TRUE(carries(com4.file, noisy, 500));
  noisy.InjectLineText(0, "still here");
  std::string read;
  for (int i = 0; i < 100 && read.size() < 10; i++) {  // a read ends at the data's announcement
    char buffer[10];
    const host::io::Result took = com4.file.Read(buffer, static_cast<ULONG>(10 - read.size()));
    read.append(buffer, took.information);
  }
  EXPECT_EQ(read, "still here");
}

}  // namespace
