// The remote serial device server emulator, against plain POSIX sockets on loopback: its
// replies and sequencing on each packet type, the decoding of line settings, its line
// backends and its seeded fault injection.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "command_line.h"
#include "devserver.h"
#include "support/device_servers.h"
#include "support/executive_session.h"
#include "support/loopback_address.h"
#include "support/udp_peer.h"

namespace {

using namespace std::chrono_literals;
using namespace devserver;
using testsupport::UdpPeer;

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes operator+(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
bool AnyHas(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// The open block the driver sends: 38400 bauds, 8 data bits, no parity, one stop bit.
const Bytes kOpenBlock = {0x00, 0x00, 0x00, 0x00, 0xBF, 0x0C, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// A server on a loopback address of its own and a "driver" socket on another, both port 519.
class DevServerTest : public ::testing::Test {
 protected:
  void StartServer(ServerOptions options = {}) {
    const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
    server_ = testsupport::StartDeviceServer(driverAddress, std::move(options));
    driver_ = std::make_unique<UdpPeer>(driverAddress, 519);
    ASSERT_TRUE(driver_->Bound());
  }
  void Send(const Bytes& datagram) { ASSERT_TRUE(driver_->SendTo(server_->Local().address, 519, datagram)); }
  Bytes Reply(std::chrono::milliseconds limit = 2000ms) {
    const std::optional<testsupport::Received> r = driver_->Receive(limit);
    return r ? r->bytes : Bytes{};
  }
  // The next reply that is not one of `skipped` (resends that may cross an acknowledgement).
  Bytes ReplyOtherThan(const std::vector<Bytes>& skipped) {
    for (;;) {
      Bytes r = Reply();
      if (std::find(skipped.begin(), skipped.end(), r) == skipped.end()) return r;
    }
  }
  void Open(uint8_t channel) {
    Send(Encode(kOpen, channel, 1, kOpenBlock));
    ASSERT_EQ(Reply().size(), 4u);
  }

  std::unique_ptr<DeviceServer> server_;
  std::unique_ptr<UdpPeer> driver_;
};

// The open's reply carries length field 3 and the configured sequence; line data numbers on
// from it, unsequenced data goes in chunks of the largest payload, the close gets its reply;
// sequenced data held over a DOWN is numbered afresh at the next open.
TEST_F(DevServerTest, OpenCloseAndDownNumberTheLineDataAndUnsequencedDataIsCut) {
  StartServer({.protocol = {.openSequence = 6, .resendInterval = 10s}});
  Send(Encode(kOpen, 42, 1, kOpenBlock));
  EXPECT_EQ(Reply(), (Bytes{0x01, 42, 0x03, 0x60}));
  server_->InjectLineText(42, "x");
  EXPECT_EQ(Reply(), (Bytes{0x0A, 42, 0x05, 0x70, 'x'}));
  // Unsequenced data with its header: 512 bytes at most, the length's high bits in byte 3.
  server_->InjectLineBytes(42, Bytes(1000, 'z'), Sequencing::Unsequenced);
  EXPECT_EQ(Reply(), Bytes({0x00, 42, 0x00, 0x02}) + Bytes(508, 'z'));
  EXPECT_EQ(Reply(), Bytes({0x00, 42, 0xF0, 0x01}) + Bytes(492, 'z'));
  Send(Encode(kClose, 42, 0));
  EXPECT_EQ(Reply(), (Bytes{0x02, 42, 0x04, 0x00}));

  Open(4);
  server_->InjectLineText(4, "one");
  EXPECT_EQ(Reply(), (Bytes{0x0A, 4, 0x07, 0x70, 'o', 'n', 'e'}));
  server_->SendDown(4);
  EXPECT_EQ(Reply(), (Bytes{0x05, 4, 0x04, 0x00}));
  server_->InjectLineText(4, "two");
  EXPECT_TRUE(Reply(150ms).empty()) << "no sequenced data while the channel is down";
  Open(4);
  EXPECT_EQ(Reply(), (Bytes{0x0A, 4, 0x0A, 0x70, 'o', 'n', 'e', 't', 'w', 'o'}));
}

// Data is taken only in order on an open channel, and every DATA there is answered with the
// last sequence taken after the decision, never a refused packet's own; so is a poll (the
// open's sequence before any data). On a channel that is not open neither is answered.
TEST_F(DevServerTest, DataIsTakenInOrderAndAnsweredWithTheLastSequenceTaken) {
  StartServer();
  Open(1);
  const struct {
    const char* what;
    uint8_t type;
    uint8_t sequence;
    const char* payload;
    Bytes answer;  // none: nothing comes back
  } steps[] = {
      {"a poll before any data", kPoll, 1, "", Encode(kAck, 1, 1)},
      {"the next in order", kData, 2, "abc", Encode(kAck, 1, 2)},
      {"a repeat", kData, 2, "abc", Encode(kAck, 1, 2)},
      {"a gap", kData, 4, "xx", Encode(kAck, 1, 2)},
      {"a poll naming a sequence never seen", kPoll, 9, "", Encode(kAck, 1, 2)},
      {"the next in order", kData, 3, "de", Encode(kAck, 1, 3)},
      {"a stale copy overtaken by the next", kData, 2, "abc", Encode(kAck, 1, 3)},
      {"no sequence", kData, 0, "yy", Encode(kAck, 1, 3)},
      {"the next in order", kData, 4, "f", Encode(kAck, 1, 4)},
      {"the close", kClose, 0, "", {0x02, 1, 0x04, 0x00}},
      {"data on a closed channel", kData, 5, "zz", {}},
      {"a poll on a closed channel", kPoll, 5, "", {}},
  };
  for (const auto& step : steps) {
    Send(Encode(step.type, 1, step.sequence, Text(step.payload)));
    EXPECT_EQ(Reply(step.answer.empty() ? 150ms : 2000ms), step.answer) << step.what;
  }
  EXPECT_EQ(server_->Written(1), Text("abcdef"));
  const ChannelSnapshot c = server_->Channel(1);
  EXPECT_EQ(std::tuple(c.dataRefusedRepeat, c.dataRefusedOutOfOrder, c.dataRefusedClosed, c.pollsAnswered, c.pollsRefusedClosed),
            std::tuple(1u, 3u, 1u, 2u, 1u));
  EXPECT_TRUE(AnyHas(server_->TraceLines(), "DATA ch=2 [wire 1] len=6 seq=4 payload=2 (refused: out of order, 3 expected)"));
}

TEST_F(DevServerTest, SequencedDataIsResentUntilAnRxAckCoversIt) {
  StartServer({.protocol = {.window = 2, .resendInterval = 60ms, .maxPayload = 2}});
  Open(0);  // reply sequence 9
  server_->InjectLineText(0, "aabbc");
  const Bytes aa = {0x0A, 0, 0x06, 0xA0, 'a', 'a'};
  const Bytes bb = {0x0A, 0, 0x06, 0xB0, 'b', 'b'};
  const Bytes c = {0x0A, 0, 0x05, 0xC0, 'c'};
  EXPECT_EQ((std::vector<Bytes>{Reply(), Reply(), Reply(), Reply()}), (std::vector<Bytes>{aa, bb, aa, bb}))
      << "the window is full: the two are resent";
  // Covering 10 and 11; stale (naming nothing in flight); naming a sequence not sent yet: the
  // last chunk still unacknowledged is resent.
  for (const uint8_t acknowledged : {11, 10, 13}) {
    Send(Encode(kRxAck, 0, acknowledged));
    EXPECT_EQ(ReplyOtherThan({aa, bb}), c) << int{acknowledged};
  }
  Send(Encode(kRxAck, 0, 12));
  ASSERT_TRUE(server_->WaitForChannel(0, [](const ChannelSnapshot& c) { return c.seqDataInFlight == 0; }, 2s));
  // Drain resends that crossed the acknowledgement; then the line stays quiet.
  for (int resends = 0; resends < 50 && !Reply(200ms).empty(); ++resends) {
  }
  EXPECT_TRUE(Reply(200ms).empty());
  const ChannelSnapshot channel = server_->Channel(0);
  EXPECT_EQ(std::tuple(channel.lineBytesAcknowledged, channel.rxAcks, channel.rxAcksRefused, channel.lastRxAckSequence),
            std::tuple(size_t{5}, 4u, 2u, uint8_t{12}));
}

// The remote's own events: an open reply no OPEN asked for, a burst of polls, and a spell in
// which the server takes and sends nothing while its channels and timers go on.
TEST_F(DevServerTest, UnaskedOpenReplyPollBurstAndVanishing) {
  StartServer({.protocol = {.resendInterval = 50ms}});
  Open(5);
  const ChannelSnapshot before = server_->Channel(5);
  server_->SendOpenReply(5);
  EXPECT_EQ(Reply(), (Bytes{0x01, 5, 0x03, 0x90})) << "as the answer to an OPEN";
  server_->SendPolls(5, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Reply(), (Bytes{0x07, 5, 0x04, 0x90})) << i;
  const ChannelSnapshot after = server_->Channel(5);
  EXPECT_EQ(std::tuple(after.opens, after.open, after.lastSentSequence, after.pollsSent),
            std::tuple(before.opens, true, before.lastSentSequence, 3u));

  server_->Vanish(500ms);
  Send(Encode(kData, 5, 2, Text("lost")));
  server_->InjectLineText(5, "hi");
  EXPECT_TRUE(Reply(150ms).empty()) << "nothing taken or sent while vanished";
  ASSERT_TRUE(server_->WaitForTrace([](const std::vector<TraceRecord>& t) {
    return std::any_of(t.begin(), t.end(), [](const TraceRecord& r) { return r.type == kSeqData && r.fault.empty(); });
  }, 2s)) << "the resend after the spell goes out";
  const Bytes hi = {0x0A, 5, 0x06, 0xA0, 'h', 'i'};
  EXPECT_EQ(Reply(), hi);
  Send(Encode(kData, 5, 2, Text("back")));
  EXPECT_EQ(ReplyOtherThan({hi}), Encode(kAck, 5, 2)) << "taken: the spell is over";
  EXPECT_EQ(server_->Stats().vanishedIn, 1u);
  EXPECT_GE(server_->Stats().vanishedOut, 1u) << "the first sending and the resends in the spell";
}

// Settings blocks are decoded per channel and noted: rate, word length, parity, stop bits, RTS
// handshake, receive flow, the flow word and an event-character wait (a block too short is
// noted undecoded); a break is recorded; every datagram is traced, decoded, a line each way.
// (The wire layout is checked byte for byte in the replies above, against the driver in the
// end-to-end suites, and by the wire fuzz target.)
TEST_F(DevServerTest, SettingsAndBreakAreRecordedPerChannelAndTraced) {
  StartServer();
  Open(2);
  Open(7);
  // 9600 bauds, 7 data bits, even parity (mode word 0x05ED), RTS handshake (bit 11 clear),
  // receive flow control, an event-character wait on '~', two stop bits; then rate code 1 (no
  // rate), 5 data bits, odd parity, one and a half stop bits; then too short; then 9600 8N1.
  const Bytes seven = {0x00, 0x14, 0, 0, 0xED, 0x05, 0x81, 0x00, 0, '~', '~', 0, 0, 1, 0, 0, 0, 0};
  Bytes five = seven, plain = kOpenBlock;
  five[4] = 0x41, five[5] = 0x03, plain[4] = 0xBD;
  for (const Bytes& block : {seven, five, Bytes(17, 0), plain}) Send(Encode(kSettings, 7, 0, block));
  Send(Encode(kBreakOn, 7, 0));
  ASSERT_TRUE(server_->WaitForChannel(7, [](const ChannelSnapshot& c) { return c.breakOn; }, 2s));
  const ChannelSnapshot on7 = server_->Channel(7), on2 = server_->Channel(2);
  EXPECT_EQ(std::tuple(on7.settings->baudRate, on2.settings->baudRate, on2.breakOn), std::tuple(9600u, 38400u, false))
      << "other channels keep theirs";
  Send(Encode(kBreakOff, 7, 0));
  ASSERT_TRUE(server_->WaitForChannel(7, [](const ChannelSnapshot& c) { return c.breakOffs == 1 && !c.breakOn; }, 2s));
  for (const char* note : {"ch 3 opened: 38400 8N1 rts=other rxflow=off flow=0x8000 mode=0x0CBF",
                           "ch 8 settings: 9600 7E2 rts=handshake rxflow=on flow=0x0081 (event-char wait) mode=0x05ED "
                           "word0=0x1400 chars=7E",
                           "ch 8 settings: code0x1(no rate) 5O1.5 rts=handshake rxflow=on flow=0x0081 (event-char wait)",
                           "ch 8 settings with a 17-byte block (not decoded)", "ch 8 settings: 9600 8N1"}) {
    EXPECT_TRUE(AnyHas(server_->Notes(), note)) << note;
  }
  Send(Bytes{0x07, 0x03});  // shorter than a header: traced, ignored
  ASSERT_TRUE(server_->WaitForTrace([](const auto& t) { return t.size() >= 11; }, 2s));
  const std::vector<std::string> lines = server_->TraceLines();
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_TRUE(lines[0].find("<- ") != std::string::npos &&
              lines[0].find("OPEN ch=3 [wire 2] len=22 seq=1 payload=18") != std::string::npos) << lines[0];
  EXPECT_TRUE(lines[1].find("-> ") != std::string::npos &&
              lines[1].find("OPEN ch=3 [wire 2] len=3 seq=9 payload=0") != std::string::npos) << lines[1];
  EXPECT_NE(lines[10].find("short datagram of 2 bytes"), std::string::npos);
  EXPECT_EQ(server_->Stats().shortDatagrams, 1u);
}

TEST_F(DevServerTest, PtyBackendCarriesBytesBothWays) {
  StartServer({.channelBackends = {{8, BackendKind::Pty}}});
  const std::string described = server_->BackendDescription(8);
  ASSERT_EQ(described.rfind("pty /dev/", 0), 0u) << described;
  const int device = open(described.substr(4).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(device, 0);
  Open(8);
  Send(Encode(kData, 8, 2, Text("AT\r")));
  EXPECT_EQ(Reply().size(), 4u);
  std::string seen;
  testsupport::WaitUntil([&] {
    char buffer[16];
    const ssize_t n = read(device, buffer, sizeof buffer);
    if (n > 0) seen.append(buffer, static_cast<size_t>(n));
    return seen.size() >= 3;
  }, 2000ms);
  EXPECT_EQ(seen, "AT\r") << "bytes pass unchanged: the terminal is raw";
  ASSERT_EQ(write(device, "OK\n", 3), 3);
  EXPECT_EQ(Reply(), (Bytes{0x0A, 8, 0x07, 0xA0, 'O', 'K', '\n'}));
  close(device);
}

// Offers the datagrams at `at`, none of which may be dropped: what passed at once.
std::vector<Datagram> Offer(FaultyLink& link, const std::vector<Bytes>& datagrams, Clock::time_point at = {}) {
  std::vector<Datagram> pass, dropped;
  for (const Bytes& bytes : datagrams) link.Offer(Datagram{{}, bytes, {}}, at, pass, dropped);
  EXPECT_TRUE(dropped.empty());
  return pass;
}

// Datagrams numbered 0 to count - 1, each its number as its one byte; and the numbers passed.
std::vector<Bytes> Numbered(int count) {
  std::vector<Bytes> datagrams;
  for (int i = 0; i < count; ++i) datagrams.push_back(Bytes{static_cast<uint8_t>(i)});
  return datagrams;
}
std::vector<int> Numbers(const std::vector<Datagram>& pass) {
  std::vector<int> numbers;
  for (const auto& d : pass) numbers.push_back(d.bytes[0]);
  return numbers;
}

// The most later datagrams any datagram passed behind, when 200 are offered at one instant
// (no hold expires) to a link with this limit.
size_t MostOvertaken(size_t overtakeLimit, FaultCounts* counts) {
  FaultyLink link(5, {.duplicate = 0.1, .reorder = 0.3, .delay = 0.3, .overtakeLimit = overtakeLimit});
  std::vector<Datagram> pass = Offer(link, Numbered(200));
  link.Release(Clock::time_point{} + 1h, pass);
  EXPECT_EQ(link.Held(), 0u);
  const std::vector<int> order = Numbers(pass);
  size_t most = 0;
  for (size_t p = 0; p < order.size(); ++p) {
    const auto later = std::count_if(order.begin(), order.begin() + p, [&](int v) { return v > order[p]; });
    most = std::max(most, static_cast<size_t>(later));
  }
  *counts = link.Counts();
  return most;
}

// Held datagrams are released in time and none is lost; the seed alone decides the faults. The
// limits that keep faults within what the wire format survives: a held datagram is overtaken by
// at most `overtakeLimit` later ones (a delayed one, by time alone, by any number); a handshake
// packet is neither held nor overtaken (what its channel held goes ahead of it, its duplicate
// right behind it).
TEST(DevServerFaults, HeldDatagramsAreReleasedInTimeWithinTheLimitsAndTheSeedDecides) {
  const FaultProfile profile{.duplicate = 0.1, .reorder = 0.4, .delayBy = 20ms};
  FaultyLink link(3, profile), same(3, profile), other(4, profile);
  const auto t0 = Clock::now();
  std::vector<Datagram> pass = Offer(link, Numbered(100), t0);
  EXPECT_EQ(Numbers(Offer(same, Numbered(100), t0)), Numbers(pass)) << "the same seed, the same faults";
  EXPECT_NE(Numbers(Offer(other, Numbered(100), t0)), Numbers(pass));
  link.Release(t0 + 20ms, pass);
  EXPECT_EQ(link.Held(), 0u);
  const auto duplicates = std::count_if(pass.begin(), pass.end(), [](const Datagram& d) {
    return d.fault.find("duplicate,") == 0 || d.fault == "duplicate";
  });
  std::vector<int> order = Numbers(pass);
  EXPECT_EQ(order.size(), 100u + duplicates);
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end())) << "some were reordered";
  std::sort(order.begin(), order.end());
  EXPECT_EQ(std::unique(order.begin(), order.end()) - order.begin(), 100) << "every datagram passed";
  // A delay holds every datagram for the delay, by time alone.
  FaultyLink delaying(1, {.delay = 1, .delayBy = 50ms});
  EXPECT_TRUE(Offer(delaying, {{1}}, t0).empty() && Offer(delaying, {{2}}, t0 + 10ms).empty());
  EXPECT_EQ(delaying.NextRelease(), t0 + 50ms);
  std::vector<Datagram> due;
  delaying.Release(t0 + 50ms, due);
  EXPECT_TRUE(due.size() == 1 && due[0].fault == "delayed") << "the second is due 10 ms later";
  delaying.Release(t0 + 60ms, due);
  EXPECT_EQ(Numbers(due), (std::vector<int>{1, 2}));

  FaultCounts counts;
  EXPECT_GT(MostOvertaken(0, &counts), 2u) << "by time alone, nothing bounds it";
  EXPECT_LE(MostOvertaken(2, &counts), 2u);
  EXPECT_GT(counts.passedByCount, 0u);

  const std::vector<Bytes> offered = {Encode(kData, 1, 2), Encode(kData, 2, 2), Encode(kOpen, 1, 1, kOpenBlock)};
  FaultyLink anyOrder(7, {.duplicate = 1, .delay = 1});
  EXPECT_TRUE(Offer(anyOrder, offered).empty()) << "the OPEN is held like any other";
  FaultyLink inOrder(7, {.duplicate = 1, .delay = 1, .handshakeInOrder = true});
  std::vector<std::string> passed;
  for (const auto& d : Offer(inOrder, offered)) {
    passed.push_back(TypeName(d.bytes[0]) + " ch" + std::to_string(d.bytes[1]) + " " + d.fault);
  }
  EXPECT_EQ(passed, (std::vector<std::string>{"DATA ch1 duplicated,delayed", "DATA ch1 duplicate,delayed",
                                              "OPEN ch1 duplicated", "OPEN ch1 duplicate"}));
  EXPECT_EQ(std::tuple(inOrder.Held(), inOrder.Counts().delayed, inOrder.Counts().passedForHandshake), std::tuple(2u, 2u, 2u))
      << "another channel's data stays held";
}

TEST(DevServerCommandLine, OptionsAndClearErrors) {
  const CommandLine line = ParseCommandLine(
      {"--bind", "127.70.8.7", "--port", "6519", "--channel", "3=pty", "--drop-out", "0.25",
       "--seed", "99", "--open-seq", "15", "--backend", "none", "--channel", "4=tty:/dev/ttyUSB0",
       "--overtake-limit", "6", "--handshake-in-order"});
  ASSERT_EQ(line.error, "");
  for (const FaultProfile& p : {line.server.faults.fromDriver, line.server.faults.toDriver}) {
    EXPECT_EQ(std::pair(p.overtakeLimit, p.handshakeInOrder), std::pair(size_t{6}, true));
  }
  // Channels as the registry numbers them: 4 is wire byte 3.
  const ServerOptions& o = line.server;
  EXPECT_EQ(std::tuple(o.channelBackends.at(3), o.channelDevices.at(3), o.channelBackends.at(2), o.backend),
            std::tuple(BackendKind::Tty, "/dev/ttyUSB0", BackendKind::Pty, BackendKind::Programmatic));
  EXPECT_EQ(o.bind, (Endpoint{0x7F460807, 6519}));
  EXPECT_TRUE(o.faults.toDriver.drop == 0.25 && o.faults.seed == 99u && o.protocol.openSequence == 15);

  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--open-seq", "16"}, "--open-seq: expected a number from 0 to 15, got '16'"},
      {{"--dup-in", "1.5"}, "--dup-in: expected a probability from 0 to 1, got '1.5'"},
      {{"--bind", "127.0.0.1:x"}, "--bind: expected ADDR or ADDR:PORT, got '127.0.0.1:x'"},
      {{"--window"}, "--window: a value is needed"},
      {{"--channel", "4=tty"}, "--channel: expected CH=KIND with CH 1..256 and KIND echo, pty, none or tty:PATH, got '4=tty'"},
      {{"--channel", "0=echo"}, "--channel: expected CH=KIND with CH 1..256 and KIND echo, pty, none or tty:PATH, got '0=echo'"},
      {{"--backend", "tty"}, "--backend: expected echo, pty or none, got 'tty'"},
      {{"-x"}, "unknown option '-x' (see --help)"},
  };
  for (const auto& [arguments, error] : refused) EXPECT_EQ(ParseCommandLine(arguments).error, error);
}

}  // namespace
