// The remote serial device server emulator, against plain POSIX sockets on loopback: its
// replies and sequencing on each packet type, the decoding of line settings, its line
// backends and its seeded fault injection.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "command_line.h"
#include "devserver.h"
#include "support/loopback_address.h"
#include "support/udp_peer.h"

namespace {

using namespace std::chrono_literals;
using devserver::DeviceServer;
using devserver::Encode;
using testsupport::UdpPeer;

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes operator+(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The open block the driver sends: 38400 bauds, 8 data bits, no parity, one stop bit.
const Bytes kOpenBlock = {0x00, 0x00, 0x00, 0x00, 0xBF, 0x0C, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// A server on a loopback address of its own and a "driver" socket on another, both port 519.
class DevServerTest : public ::testing::Test {
 protected:
  void StartServer(devserver::ServerOptions options = {}) {
    options.bind = devserver::Endpoint{testsupport::UniqueLoopbackAddress(), 519};
    server_ = std::make_unique<DeviceServer>(std::move(options));
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    driver_ = std::make_unique<UdpPeer>(testsupport::UniqueLoopbackAddress(), 519);
    ASSERT_TRUE(driver_->Bound());
  }
  void Send(const Bytes& datagram) {
    ASSERT_TRUE(driver_->SendTo(server_->Local().address, 519, datagram));
  }
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
  void Open(uint8_t channel, uint8_t sequence = 1) {
    Bytes open = Encode(devserver::kOpen, channel, sequence, kOpenBlock);
    Send(open);
    ASSERT_EQ(Reply().size(), 4u);
  }

  std::unique_ptr<DeviceServer> server_;
  std::unique_ptr<UdpPeer> driver_;
};

TEST(DevServerWire, HeaderLayoutAndSequenceArithmetic) {
  EXPECT_EQ(Encode(devserver::kRxAck, 2, 5), (Bytes{0x0B, 0x02, 0x04, 0x50}));
  const Bytes open = Encode(devserver::kOpen, 0, 1, kOpenBlock);
  EXPECT_EQ(Bytes(open.begin(), open.begin() + 4), (Bytes{0x01, 0x00, 0x16, 0x10}));
  // A length above 255 spills into the low nibble of byte 3, under the sequence.
  EXPECT_EQ(devserver::EncodeHeader(devserver::kData, 7, 0x1FC, 0xA), (Bytes{0, 7, 0xFC, 0xA1}));

  const std::optional<devserver::Packet> p = devserver::Decode(Bytes{0, 1, 0x10, 0x30, 'a', 'b'});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->lengthField, 16);
  EXPECT_EQ(p->sequence, 3);
  EXPECT_EQ(p->payload, Text("ab")) << "a length field beyond the datagram is cut to it";
  EXPECT_FALSE(devserver::Decode(Bytes{1, 2, 3}));

  for (auto [from, to] : {std::pair{14, 15}, {15, 1}, {0, 1}}) EXPECT_EQ(devserver::NextSeq(from), to) << from;
}

// The decoded fields in one line: rate, word length, parity, stop halves, RTS handshake,
// receive flow, event character (0 without an event-character wait).
std::string Decoded(const Bytes& block) {
  const auto s = devserver::DecodeLineSettings(block);
  if (!s) return "refused";
  return std::to_string(s->baudRate) + " " + std::to_string(s->dataBits) + s->parity + " " +
         std::to_string(s->stopHalves) + " " + std::to_string(s->rtsHandshake) +
         std::to_string(s->receiveAutoFlow) + " " + (s->eventCharWait ? char(s->eventChar) : '0');
}

TEST(DevServerSettings, DecodesRateWordLengthParityStopBitsAndFlow) {
  EXPECT_EQ(Decoded(kOpenBlock), "38400 8N 2 00 0");
  // 9600 bauds, 7 data bits, even parity (mode word 0x0DAD), RTS handshake (bit 11 clear),
  // receive flow control, an event-character wait on '~', two stop bits.
  Bytes block = {0x00, 0x14, 0, 0, 0xED, 0x05, 0x81, 0x00, 0, '~', '~', 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(Decoded(block), "9600 7E 4 11 ~");
  block[4] = 0x41;  // code 1 (no rate), 5 data bits, extra stop bit: one and a half
  block[5] = 0x03;  // parity on, odd
  EXPECT_EQ(Decoded(block), "0 5O 3 11 ~");
  EXPECT_EQ(Decoded(Bytes(17, 0)), "refused");
}

TEST_F(DevServerTest, OpenIsAnsweredWithLengthFieldThreeAndCloseWithACloseReply) {
  devserver::ServerOptions options;
  options.protocol.openSequence = 6;
  StartServer(options);
  Send(Encode(devserver::kOpen, 42, 1, kOpenBlock));
  EXPECT_EQ(Reply(), (Bytes{0x01, 42, 0x03, 0x60}));
  ASSERT_TRUE(server_->WaitForOpen(42, 2s));
  EXPECT_EQ(server_->Channel(42).openSettings->baudRate, 38400u);
  // The first line data after the open carries the sequence after the reply's.
  server_->InjectLineText(42, "x");
  EXPECT_EQ(Reply(), (Bytes{0x0A, 42, 0x05, 0x70, 'x'}));
  Send(Encode(devserver::kClose, 42, 0));
  EXPECT_EQ(ReplyOtherThan({{0x0A, 42, 0x05, 0x70, 'x'}}), (Bytes{0x02, 42, 0x04, 0x00}));
  ASSERT_TRUE(server_->WaitForClosed(42, 2s));
  EXPECT_EQ(server_->Channel(42).closes, 1u);
}

// Data is taken only in order on an open channel, and every DATA there is answered with the
// last sequence taken after the decision, never a refused packet's own; so is a poll (the
// open's sequence before any data). On a channel that is not open neither is answered.
TEST_F(DevServerTest, DataIsTakenInOrderAndAnsweredWithTheLastSequenceTaken) {
  StartServer();
  Open(1);
  constexpr int kNone = -1;
  struct Step {
    const char* what;
    uint8_t type;
    uint8_t sequence;
    const char* payload;
    int answer;  // the ACK's sequence, or kNone
  };
  const Step steps[] = {
      {"a poll before any data", devserver::kPoll, 1, "", 1},
      {"the next in order", devserver::kData, 2, "abc", 2},
      {"a repeat", devserver::kData, 2, "abc", 2},
      {"a gap", devserver::kData, 4, "xx", 2},
      {"a poll naming a sequence never seen", devserver::kPoll, 9, "", 2},
      {"the next in order", devserver::kData, 3, "de", 3},
      {"a stale copy overtaken by the next", devserver::kData, 2, "abc", 3},
      {"no sequence", devserver::kData, 0, "yy", 3},
      {"the next in order", devserver::kData, 4, "f", 4},
      {"the close", devserver::kClose, 0, "", kNone},
      {"data on a closed channel", devserver::kData, 5, "zz", kNone},
      {"a poll on a closed channel", devserver::kPoll, 5, "", kNone},
  };
  for (const Step& step : steps) {
    Send(Encode(step.type, 1, step.sequence, Text(step.payload)));
    if (step.type == devserver::kClose) {
      EXPECT_EQ(Reply(), (Bytes{0x02, 1, 0x04, 0x00})) << step.what;
    } else if (step.answer == kNone) {
      EXPECT_TRUE(Reply(150ms).empty()) << step.what;
    } else {
      EXPECT_EQ(Reply(), Encode(devserver::kAck, 1, static_cast<uint8_t>(step.answer))) << step.what;
    }
  }
  EXPECT_EQ(server_->Written(1), Text("abcdef"));
  const devserver::ChannelSnapshot c = server_->Channel(1);
  EXPECT_EQ(std::tuple(c.dataRefusedRepeat, c.dataRefusedOutOfOrder, c.dataRefusedClosed),
            std::tuple(1u, 3u, 1u));
  EXPECT_EQ(std::pair(c.pollsAnswered, c.pollsRefusedClosed), std::pair(2u, 1u));
  const std::vector<std::string> lines = server_->TraceLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("DATA ch=2 [wire 1] len=6 seq=4 payload=2 (refused: out of order, 3 expected)") != std::string::npos;
  }));
}

TEST_F(DevServerTest, SequencedDataIsResentUntilAnRxAckCoversIt) {
  devserver::ServerOptions options;
  options.protocol.resendInterval = 60ms;
  options.protocol.maxPayload = 2;
  options.protocol.window = 2;
  StartServer(options);
  Open(0);  // reply sequence 9
  server_->InjectLineText(0, "aabbc");
  const Bytes aa = {0x0A, 0, 0x06, 0xA0, 'a', 'a'};
  const Bytes bb = {0x0A, 0, 0x06, 0xB0, 'b', 'b'};
  const Bytes c = {0x0A, 0, 0x05, 0xC0, 'c'};
  EXPECT_EQ(Reply(), aa);
  EXPECT_EQ(Reply(), bb);
  EXPECT_EQ(Reply(), aa) << "the window is full: the two are resent";
  EXPECT_EQ(Reply(), bb);

  Send(Encode(devserver::kRxAck, 0, 11));  // covers 10 and 11
  EXPECT_EQ(ReplyOtherThan({aa, bb}), c);
  Send(Encode(devserver::kRxAck, 0, 10));  // stale: names nothing in flight
  EXPECT_EQ(ReplyOtherThan({aa, bb}), c) << "still unacknowledged: resent";
  Send(Encode(devserver::kRxAck, 0, 13));  // names a sequence not sent yet
  EXPECT_EQ(ReplyOtherThan({aa, bb}), c);
  Send(Encode(devserver::kRxAck, 0, 12));
  ASSERT_TRUE(server_->WaitForChannel(
      0, [](const devserver::ChannelSnapshot& c) { return c.seqDataInFlight == 0; }, 2s));
  // Drain resends that crossed the acknowledgement; then the line stays quiet.
  while (!Reply(200ms).empty()) {
  }
  EXPECT_TRUE(Reply(200ms).empty());
  const devserver::ChannelSnapshot channel = server_->Channel(0);
  EXPECT_EQ(channel.lineBytesAcknowledged, 5u);
  EXPECT_EQ(std::tuple(channel.rxAcks, channel.rxAcksRefused, channel.lastRxAckSequence),
            std::tuple(4u, 2u, uint8_t{12}));
}

TEST_F(DevServerTest, DataHeldOverADownIsNumberedAfreshAtTheNextOpen) {
  devserver::ServerOptions options;
  options.protocol.resendInterval = 10s;
  StartServer(options);
  Open(4);
  server_->InjectLineText(4, "one");
  EXPECT_EQ(Reply(), (Bytes{0x0A, 4, 0x07, 0xA0, 'o', 'n', 'e'}));
  server_->SendDown(4);
  EXPECT_EQ(Reply(), (Bytes{0x05, 4, 0x04, 0x00}));
  server_->InjectLineText(4, "two");
  EXPECT_TRUE(Reply(150ms).empty()) << "no sequenced data while the channel is down";
  Send(Encode(devserver::kOpen, 4, 1, kOpenBlock));
  EXPECT_EQ(Reply().size(), 4u);
  EXPECT_EQ(Reply(), (Bytes{0x0A, 4, 0x0A, 0xA0, 'o', 'n', 'e', 't', 'w', 'o'}));
}

// The remote's own events: an open reply no OPEN asked for, a burst of polls, and a spell in
// which the server takes and sends nothing while its channels and timers go on.
TEST_F(DevServerTest, UnaskedOpenReplyPollBurstAndVanishing) {
  devserver::ServerOptions options;
  options.protocol.resendInterval = 50ms;
  StartServer(options);
  Open(5);
  const devserver::ChannelSnapshot before = server_->Channel(5);
  server_->SendOpenReply(5);
  EXPECT_EQ(Reply(), (Bytes{0x01, 5, 0x03, 0x90})) << "as the answer to an OPEN";
  server_->SendPolls(5, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Reply(), (Bytes{0x07, 5, 0x04, 0x90})) << i;
  const devserver::ChannelSnapshot after = server_->Channel(5);
  EXPECT_EQ(std::tuple(after.opens, after.open, after.lastSentSequence, after.pollsSent),
            std::tuple(before.opens, true, before.lastSentSequence, 3u));

  server_->Vanish(500ms);
  Send(Encode(devserver::kData, 5, 2, Text("lost")));
  server_->InjectLineText(5, "hi");
  EXPECT_TRUE(Reply(150ms).empty()) << "nothing taken or sent while vanished";
  ASSERT_TRUE(server_->WaitForTrace([](const std::vector<devserver::TraceRecord>& t) {
    return std::any_of(t.begin(), t.end(), [](const devserver::TraceRecord& r) {
      return r.type == devserver::kSeqData && r.fault.empty();
    });
  }, 2s)) << "the resend after the spell goes out";
  const Bytes hi = {0x0A, 5, 0x06, 0xA0, 'h', 'i'};
  EXPECT_EQ(Reply(), hi);
  Send(Encode(devserver::kData, 5, 2, Text("back")));
  EXPECT_EQ(ReplyOtherThan({hi}), Encode(devserver::kAck, 5, 2));
  EXPECT_EQ(server_->Written(5), Text("back"));
  const devserver::ServerStats stats = server_->Stats();
  EXPECT_EQ(stats.vanishedIn, 1u);
  EXPECT_GE(stats.vanishedOut, 1u) << "the first sending and the resends in the spell";
}

TEST_F(DevServerTest, UnsequencedLineDataIsCutToTheLargestPayload) {
  StartServer();
  Open(9);
  const Bytes line(1000, 'z');
  server_->InjectLineBytes(9, line, devserver::Sequencing::Unsequenced);
  // Unsequenced data with its header: 512 bytes at most, the length's high bits in byte 3.
  EXPECT_EQ(Reply(), Bytes({0x00, 9, 0x00, 0x02}) + Bytes(508, 'z'));
  EXPECT_EQ(Reply(), Bytes({0x00, 9, 0xF0, 0x01}) + Bytes(492, 'z'));
}

TEST_F(DevServerTest, SettingsAndBreakAreRecordedPerChannelAndTraced) {
  StartServer();
  Open(2);
  Open(7);
  Bytes block = kOpenBlock;
  block[4] = 0xBD;  // 9600 bauds
  Send(Encode(devserver::kSettings, 7, 0, block));
  Send(Encode(devserver::kBreakOn, 7, 0));
  ASSERT_TRUE(server_->WaitForChannel(7, [](const devserver::ChannelSnapshot& c) { return c.breakOn; }, 2s));
  EXPECT_EQ(server_->Channel(7).settings->baudRate, 9600u);
  EXPECT_EQ(server_->Channel(2).settings->baudRate, 38400u) << "other channels keep theirs";
  EXPECT_FALSE(server_->Channel(2).breakOn);
  Send(Encode(devserver::kBreakOff, 7, 0));
  ASSERT_TRUE(server_->WaitForChannel(
      7, [](const devserver::ChannelSnapshot& c) { return c.breakOffs == 1 && !c.breakOn; }, 2s));
  const std::vector<std::string> notes = server_->Notes();
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& n) {
    return n.find("ch 8 settings: 9600 8N1") != std::string::npos;
  }));
  // One decoded trace line per datagram each way.
  Send(Bytes{0x07, 0x03});  // shorter than a header: traced, ignored
  ASSERT_TRUE(server_->WaitForTrace([](const auto& t) { return t.size() >= 8; }, 2s));
  const std::vector<std::string> lines = server_->TraceLines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_TRUE(lines[0].find("<- ") != std::string::npos && lines[0].find("OPEN ch=3 [wire 2] len=22 seq=1 payload=18") != std::string::npos) << lines[0];
  EXPECT_TRUE(lines[1].find("-> ") != std::string::npos && lines[1].find("OPEN ch=3 [wire 2] len=3 seq=9 payload=0") != std::string::npos) << lines[1];
  EXPECT_NE(lines[7].find("short datagram of 2 bytes"), std::string::npos);
  EXPECT_EQ(server_->Stats().shortDatagrams, 1u);
}

TEST_F(DevServerTest, PtyBackendCarriesBytesBothWays) {
  devserver::ServerOptions options;
  options.channelBackends[8] = devserver::BackendKind::Pty;
  StartServer(options);
  const std::string described = server_->BackendDescription(8);
  ASSERT_EQ(described.rfind("pty /dev/", 0), 0u) << described;
  const int device = open(described.substr(4).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(device, 0);
  Open(8);
  Send(Encode(devserver::kData, 8, 2, Text("AT\r")));
  EXPECT_EQ(Reply().size(), 4u);
  std::string seen;
  for (int tries = 0; tries < 20 && seen.size() < 3; ++tries) {
    pollfd p{device, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[16];
    const ssize_t n = read(device, buffer, sizeof buffer);
    if (n > 0) seen.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(seen, "AT\r") << "bytes pass unchanged: the terminal is raw";
  ASSERT_EQ(write(device, "OK\n", 3), 3);
  EXPECT_EQ(Reply(), (Bytes{0x0A, 8, 0x07, 0xA0, 'O', 'K', '\n'}));
  close(device);
}

TEST(DevServerFaults, HeldDatagramsAreReleasedInTimeAndNoneIsLost) {
  devserver::FaultProfile profile;
  profile.reorder = 0.4;
  profile.duplicate = 0.1;
  profile.delayBy = 20ms;
  devserver::FaultyLink link(3, profile);
  const auto t0 = devserver::Clock::now();
  std::vector<int> order;
  size_t duplicates = 0;
  auto take = [&](const std::vector<devserver::Datagram>& pass) {
    for (const auto& d : pass) {
      order.push_back(d.bytes[0]);
      if (d.fault.find("duplicate,") == 0 || d.fault == "duplicate") ++duplicates;
    }
  };
  for (int i = 0; i < 100; ++i) {
    std::vector<devserver::Datagram> pass, dropped;
    link.Offer(devserver::Datagram{{}, Bytes{static_cast<uint8_t>(i)}, {}}, t0, pass, dropped);
    EXPECT_TRUE(dropped.empty());
    take(pass);
  }
  std::vector<devserver::Datagram> late;
  link.Release(t0 + 19ms, late);
  EXPECT_TRUE(late.empty()) << "nothing is due before the hold time";
  link.Release(t0 + 20ms, late);
  take(late);
  EXPECT_EQ(link.Held(), 0u);
  EXPECT_EQ(order.size(), 100 + duplicates);
  std::vector<int> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_EQ(sorted.size(), 100u) << "every datagram passed";
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end())) << "some were reordered";

  // A delay holds every datagram for the delay.
  profile = {};
  profile.delay = 1;
  profile.delayBy = 50ms;
  devserver::FaultyLink delaying(1, profile);
  std::vector<devserver::Datagram> pass, dropped;
  delaying.Offer(devserver::Datagram{{}, Bytes{1}, {}}, t0, pass, dropped);
  delaying.Offer(devserver::Datagram{{}, Bytes{2}, {}}, t0 + 10ms, pass, dropped);
  EXPECT_TRUE(pass.empty());
  EXPECT_EQ(delaying.NextRelease(), t0 + 50ms);
  delaying.Release(t0 + 50ms, pass);
  ASSERT_EQ(pass.size(), 1u);
  EXPECT_EQ(pass[0].fault, "delayed");
  delaying.Release(t0 + 60ms, pass);
  EXPECT_EQ(pass.size(), 2u);
}

// The most later datagrams any datagram passed behind, when 200 are offered at one instant
// (no hold expires) to a link with this limit.
size_t MostOvertaken(size_t overtakeLimit, devserver::FaultCounts* counts) {
  devserver::FaultProfile profile;
  profile.reorder = profile.delay = 0.3;
  profile.duplicate = 0.1;
  profile.overtakeLimit = overtakeLimit;
  devserver::FaultyLink link(5, profile);
  std::vector<int> order;
  for (int i = 0; i < 200; ++i) {
    std::vector<devserver::Datagram> pass, dropped;
    link.Offer(devserver::Datagram{{}, Bytes{static_cast<uint8_t>(i)}, {}}, {}, pass, dropped);
    for (const auto& d : pass) order.push_back(d.bytes[0]);
  }
  std::vector<devserver::Datagram> rest;
  link.Release(devserver::Clock::time_point{} + 1h, rest);
  for (const auto& d : rest) order.push_back(d.bytes[0]);
  EXPECT_EQ(link.Held(), 0u);
  size_t most = 0;
  for (size_t p = 0; p < order.size(); ++p) {
    const auto later = std::count_if(order.begin(), order.begin() + p, [&](int v) { return v > order[p]; });
    most = std::max(most, static_cast<size_t>(later));
  }
  *counts = link.Counts();
  return most;
}

// "OPEN ch1 duplicated" for each datagram passed.
std::vector<std::string> Passed(const std::vector<devserver::Datagram>& pass) {
  std::vector<std::string> seen;
  for (const auto& d : pass) {
    seen.push_back(devserver::TypeName(d.bytes[0]) + " ch" + std::to_string(d.bytes[1]) + " " + d.fault);
  }
  return seen;
}

// The limits that keep faults within what the wire format survives: a held datagram is
// overtaken by at most `overtakeLimit` later ones; a handshake packet is neither held nor
// overtaken (what its channel held goes ahead of it, its duplicate right behind it).
TEST(DevServerFaults, LimitsKeepHeldDatagramsWithinWhatTheProtocolSurvives) {
  devserver::FaultCounts counts;
  EXPECT_GT(MostOvertaken(0, &counts), 2u) << "by time alone, nothing bounds it";
  EXPECT_LE(MostOvertaken(2, &counts), 2u);
  EXPECT_GT(counts.passedByCount, 0u);

  devserver::FaultProfile profile;
  profile.delay = profile.duplicate = 1;
  for (const bool inOrder : {false, true}) {
    profile.handshakeInOrder = inOrder;
    devserver::FaultyLink link(7, profile);
    std::vector<devserver::Datagram> pass, dropped;
    for (const Bytes& datagram : {Encode(devserver::kData, 1, 2), Encode(devserver::kData, 2, 2),
                                  Encode(devserver::kOpen, 1, 1, kOpenBlock)}) {
      link.Offer(devserver::Datagram{{}, datagram, {}}, {}, pass, dropped);
    }
    if (!inOrder) {
      EXPECT_TRUE(pass.empty()) << "the OPEN is held like any other";
      continue;
    }
    EXPECT_EQ(Passed(pass), (std::vector<std::string>{
                                "DATA ch1 duplicated,delayed", "DATA ch1 duplicate,delayed",
                                "OPEN ch1 duplicated", "OPEN ch1 duplicate"}));
    EXPECT_EQ(link.Held(), 2u) << "another channel's data stays held";
    EXPECT_EQ(std::pair(link.Counts().delayed, link.Counts().passedForHandshake), std::pair(size_t{2}, size_t{2}));
  }
}

// Runs one server with inbound drops and returns, per datagram offered, whether it was taken.
std::string DropPatternOverSockets(uint64_t seed) {
  devserver::ServerOptions options;
  options.bind = devserver::Endpoint{testsupport::UniqueLoopbackAddress(), 519};
  options.faults.seed = seed;
  options.faults.fromDriver.drop = 0.5;
  DeviceServer server(options);
  if (!server.Start()) return "not started";
  UdpPeer driver(testsupport::UniqueLoopbackAddress(), 519);
  for (uint8_t i = 0; i < 40; ++i) {
    driver.SendTo(options.bind.address, 519, Encode(devserver::kBreakOn, i, 0));
  }
  server.WaitForTrace([](const auto& t) { return t.size() >= 40; }, 3s);
  std::string pattern;
  for (const devserver::TraceRecord& r : server.Trace()) pattern += r.fault.empty() ? '1' : '0';
  return pattern;
}

TEST(DevServerFaults, FaultsOverSocketsAreReproducibleFromTheSeed) {
  const std::string first = DropPatternOverSockets(11);
  ASSERT_EQ(first.size(), 40u);
  EXPECT_NE(first.find('0'), std::string::npos);
  EXPECT_NE(first.find('1'), std::string::npos);
  EXPECT_EQ(DropPatternOverSockets(11), first);
  EXPECT_NE(DropPatternOverSockets(12), first);
}

TEST(DevServerCommandLine, OptionsAndClearErrors) {
  devserver::CommandLine line = devserver::ParseCommandLine(
      {"--bind", "127.70.8.7", "--port", "6519", "--channel", "3=pty", "--drop-out", "0.25",
       "--seed", "99", "--open-seq", "15", "--backend", "none", "--channel", "4=tty:/dev/ttyUSB0",
       "--overtake-limit", "6", "--handshake-in-order"});
  ASSERT_EQ(line.error, "");
  for (const devserver::FaultProfile& p : {line.server.faults.fromDriver, line.server.faults.toDriver}) {
    EXPECT_EQ(std::pair(p.overtakeLimit, p.handshakeInOrder), std::pair(size_t{6}, true));
  }
  // Channels as the registry numbers them: 4 is wire byte 3.
  const devserver::ServerOptions& o = line.server;
  EXPECT_EQ(std::tuple(o.channelBackends.at(3), o.channelDevices.at(3), o.channelBackends.at(2), o.backend),
            std::tuple(devserver::BackendKind::Tty, "/dev/ttyUSB0", devserver::BackendKind::Pty,
                       devserver::BackendKind::Programmatic));
  EXPECT_EQ(o.bind, (devserver::Endpoint{0x7F460807, 6519}));
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
  for (const auto& [arguments, error] : refused) EXPECT_EQ(devserver::ParseCommandLine(arguments).error, error);
}

}  // namespace
