// The link engine end to end over real UDP on loopback, against the device server emulator:
// several servers and bad datagrams, sequenced data around the wrap, the loopback guard and the
// endpoint's reopen. The open handshake and the write's acknowledgements are the open/close
// and data path suites'. Which packets the link takes in which state is the
// inbound dispatch suite's.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>

#include "host/net/udp_transport.h"
#include "support/executive_session.h"
#include "support/live_link.h"

using testsupport::LiveLink;
using testsupport::WaitUntil;

namespace {

std::vector<uint8_t> Bytes(int count, int first = 0) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), static_cast<uint8_t>(first));
  return bytes;
}

constexpr std::chrono::milliseconds kLimit{5000};

// Six ports on two servers share two receivers (port 5 is bound like port 4: only the lower
// index receives). A datagram longer than the receive buffer is bad input from one server: it
// is dropped and the receiver receives again on the same endpoint; no other server's data is
// lost. The link stops as unload stops it: every thread ends and the endpoint closes.
TEST(LinkEndToEnd, SixPortsOnTwoServersShareTwoReceiversThatDropOversizedDatagrams) {
  LiveLink link(6);
  auto& faulty = link.AddServer();
  auto& other = link.AddServer();
  for (int i = 0; i < 3; i++) link.Bind(i, faulty, i);
  for (int i = 3; i < 6; i++) link.Bind(i, other, i == 5 ? 1 : i - 3);
  link.Start();
  EXPECT_EQ(link.Driver().ReceiverCount, 2);
  EXPECT_EQ(link.Driver().LinkThreadCount(), 3);
  EXPECT_TRUE(host::net::WaitForCounters([](const auto& c) { return c.pendingReceives == 2; }, kLimit));
  PFILE_OBJECT endpoint = ReadShared(link.Driver().UdpAddressObject);
  host::net::ResetCounters();

  std::vector<uint8_t> oversized(600, 0x41);
  EncodeLinkHeader(oversized.data(), PKT_DATA, 0, 600, 0);
  std::vector<uint8_t> line;
  for (int i = 0; i < 10; i++) {
    faulty.SendRaw(oversized);
    std::vector<uint8_t> part = Bytes(40, 40 * i);
    other.InjectLineBytes(1, part, devserver::Sequencing::Unsequenced);
    line.insert(line.end(), part.begin(), part.end());
  }
  faulty.InjectLineBytes(1, Bytes(3, 0x55), devserver::Sequencing::Unsequenced);
  EXPECT_TRUE(WaitUntil([&] { return link.RxBytes(4).size() >= line.size() && link.RxBytes(1).size() >= 3; }));
  EXPECT_EQ(link.RxBytes(4), line);
  EXPECT_EQ(link.RxBytes(1), Bytes(3, 0x55));
  EXPECT_TRUE(link.RxBytes(5).empty() && link.RxBytes(3).empty() && link.RxBytes(0).empty());
  EXPECT_EQ(host::net::GetCounters().truncated, 10u);
  EXPECT_EQ(ReadShared(link.Driver().UdpAddressObject), endpoint);

  link.Stop();
  EXPECT_EQ(link.Driver().LinkThreadCount(), 0);
  auto counters = host::net::GetCounters();
  EXPECT_EQ(counters.addressObjects + counters.pendingReceives, 0u);
}

TEST(LinkEndToEnd, SequencedLineDataArrivesInOrderAcrossTheWrap) {
  LiveLink link(1);
  devserver::ProtocolOptions protocol;
  protocol.openSequence = 13;
  protocol.maxPayload = 4;
  protocol.resendInterval = std::chrono::milliseconds(50);
  auto& server = link.AddServer(protocol);
  link.Bind(0, server, 1);
  link.Start();
  ASSERT_TRUE(link.Open(0));

  std::vector<uint8_t> line = Bytes(40, 0x40);  // ten packets: sequences 14, 15, 1, 2, ...
  server.InjectLineBytes(1, line);
  // Acknowledge what was taken as the read path does, until everything is in the ring.
  ASSERT_TRUE(WaitUntil([&] {
    link.Driver().QueueLinkPacket(PKT_RXACK, nullptr, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return link.RxBytes(0).size() >= line.size();
  }));
  EXPECT_EQ(link.RxBytes(0), line);
  EXPECT_EQ(ReadShared(link.Driver().PortTable[0].InSeq), 8);  // 13 + 10 packets, wrapping past 15 to 1
  // Whether an acknowledgement is owed now depends on the remote's resends still under way (a
  // repeat is answered at once); the inbound dispatch suite pins each case down.
  // The acknowledgement of the last packet lets the remote stop resending.
  link.Driver().QueueLinkPacket(PKT_RXACK, nullptr, 0, 0);
  EXPECT_TRUE(server.WaitForChannel(1, [](const auto& c) { return c.seqDataInFlight == 0; }, kLimit));
  EXPECT_EQ(link.RxBytes(0), line);  // resent duplicates were not taken twice
}

// The default configuration's remote (0.0.0.3, outside loopback) is refused by the loopback
// guard, and the sender reopens the endpoint after its failed pass: the reopen hands the
// endpoint over without losing what a receiver was about to receive (datagrams queued on the
// old address object while the receiver was busy reach it on the new one), and the old address
// object is closed once its last receive has returned.
TEST(LinkEndToEnd, ARefusedSendsReopenHandsOverWhatTheOldEndpointHeld) {
  LiveLink link(2);
  auto& server = link.AddServer();
  link.Driver().PortTable[0].RemoteAddress = 3;  // outside loopback: a send to it is refused
  link.Driver().PortTable[0].RemoteChannel = 2;
  link.Bind(1, server, 0);
  link.Start();
  EXPECT_TRUE(host::net::WaitForCounters([](const auto& c) { return c.pendingReceives == 2; }, kLimit));
  PFILE_OBJECT first = ReadShared(link.Driver().UdpAddressObject);
  host::net::ResetCounters();

  // Port 1's lock holds its receiver in the dispatch of the first datagram; the others queue.
  PortRecord* record = link.Ports().Record(1);
  KIRQL old = KfAcquireSpinLock(&record->PortLock);
  std::vector<uint8_t> line;
  for (int i = 0; i < 8; i++) {
    std::vector<uint8_t> part = Bytes(20, 20 * i);
    server.InjectLineBytes(0, part, devserver::Sequencing::Unsequenced);
    line.insert(line.end(), part.begin(), part.end());
  }
  bool queued = host::net::WaitForCounters([](const auto& c) { return c.datagramsReceived == 8; }, kLimit);
  link.Driver().QueueLinkPacket(PKT_OPEN, nullptr, 0, 0);
  EXPECT_TRUE(host::net::WaitForCounters([](const auto& c) { return c.refusedByGuard == 1; }, kLimit));
  bool reopened = host::net::WaitForCounters(
      [&](const auto& c) { return ReadShared(link.Driver().UdpAddressObject) != first && c.addressObjects == 1; },
      kLimit);
  KfReleaseSpinLock(&record->PortLock, old);
  ASSERT_TRUE(queued && reopened);

  EXPECT_TRUE(WaitUntil([&] { return link.RxBytes(1).size() >= line.size(); }, kLimit));
  EXPECT_EQ(link.RxBytes(1), line);
  ASSERT_TRUE(link.Open(1));
}

}  // namespace
