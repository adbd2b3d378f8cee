// Link packet headers and the control-packet queue: wire bytes, the link-open gate, order,
// sequence rules, allocation failure, and concurrent producers against the sender's detach.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "host/ex/pool_control.h"
#include "host/session/executive.h"
#include "link/link_packet.h"
#include "support/driver_ports.h"
#include "support/executive_session.h"
#include "wire.h"

using testsupport::DriverPorts;
using Packets = std::vector<std::vector<UCHAR>>;

namespace {

// Detaches the port's control queue as the sender does: each node's packet as it goes out
// (the header, then the payload its length counts), in queue order, the nodes freed.
Packets Detach(int port) {
  Packets packets;
  for (ControlNode* node = DetachControlQueue(port); node != nullptr;) {
    const ULONG payload = DecodeLinkHeader(node->Header).Length - LINK_HEADER_SIZE;
    std::vector<UCHAR>& packet = packets.emplace_back(node->Header, node->Header + LINK_HEADER_SIZE);
    packet.insert(packet.end(), node->Payload, node->Payload + payload);
    ControlNode* next = node->Next;
    ExFreePool(node);
    node = next;
  }
  return packets;
}

class LinkPacketTest : public testsupport::ManualExecutive {
 protected:
  void TearDown() override {
    host::ex::ClearFailures();
    ManualExecutive::TearDown();
  }
};

// Header bytes as queued, and as the sender renumbers them; sequences run 1 to 15, then 1.
TEST_F(LinkPacketTest, QueuedControlPacketsCarryWireHeaders) {
  DriverPorts ports(3);
  ports.OpenLink(2);
  PortTable[2].RemoteChannel = 2;
  // A receive acknowledgement carries InSeq as queued; a second one while the first waits
  // gives it the newer InSeq, where it stands in the queue, instead of queueing another.
  PortTable[2].InSeq = 4;
  QueueLinkPacket(PKT_RXACK, nullptr, 0, 2);
  QueueLinkPacket(PKT_BREAK_ON, nullptr, 0, 2);
  PortTable[2].InSeq = 5;
  QueueLinkPacket(PKT_RXACK, nullptr, 0, 2);
  PortTable[2].InSeq = 6;
  EXPECT_EQ(Detach(2), (Packets{{0x0B, 0x02, 0x04, 0x50}, {PKT_BREAK_ON, 0x02, 0x04, 0x00}}));

  // The open packet's sequence is the sender's to fill; at queueing it is 0.
  UCHAR settings[18];
  for (int i = 0; i < 18; i++) settings[i] = static_cast<UCHAR>(0x40 + i);
  PortTable[0].RemoteChannel = 0;
  QueueLinkPacket(PKT_OPEN, settings, sizeof settings, 0);
  ControlNode* node = DetachControlQueue(0);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(std::vector<UCHAR>(node->Header, node->Header + 4), (std::vector<UCHAR>{0x01, 0x00, 0x16, 0x00}));
  EXPECT_EQ(0, memcmp(node->Payload, settings, sizeof settings));
  SetLinkHeaderSequence(node->Header, 1);
  EXPECT_EQ(std::vector<UCHAR>(node->Header, node->Header + 4), (std::vector<UCHAR>{0x01, 0x00, 0x16, 0x10}));
  ExFreePool(node);
  for (auto [from, to] : {std::pair{14, 15}, {15, 1}, {0, 1}, {1, 2}}) EXPECT_EQ(NextSeq(from), to) << from;
  // The packet types are those of the device server's own codec.
  using namespace devserver;
  EXPECT_EQ((std::vector<UCHAR>{PKT_DATA, PKT_OPEN, PKT_CLOSE, PKT_SETTINGS, PKT_ACK, PKT_DOWN, PKT_POLL, PKT_SEQDATA,
                                PKT_RXACK, PKT_BREAK_ON, PKT_BREAK_OFF}),
            (std::vector<UCHAR>{kData, kOpen, kClose, kSettings, kAck, kDown, kPoll, kSeqData, kRxAck, kBreakOn, kBreakOff}));

  // Only the low 8 bits of the channel go on the wire; settings carry no sequence.
  ports.OpenLink(1);
  PortTable[1].RemoteChannel = 300;
  PortTable[1].InSeq = 9;
  QueueLinkPacket(PKT_SETTINGS, settings, sizeof settings, 1);
  std::vector<UCHAR> packet{PKT_SETTINGS, 300 & 0xFF, 0x16, 0x00};
  packet.insert(packet.end(), settings, settings + sizeof settings);
  EXPECT_EQ(Detach(1), Packets{packet});
}

TEST_F(LinkPacketTest, ClosedLinkPassesOnlyOpenAndCloseAndTheDataFormMarksAnOpenPort) {
  DriverPorts ports(2);
  ports.TakeSendEvent();
  const UCHAR gated[] = {PKT_SETTINGS, PKT_RXACK, PKT_POLL, PKT_BREAK_ON, PKT_BREAK_OFF, PKT_ACK};
  for (UCHAR type : gated) {
    QueueLinkPacket(type, nullptr, 0, 0);
    EXPECT_EQ(std::pair(PortTable[0].ControlQueue, ports.TakeSendEvent()),
              std::pair(static_cast<ControlNode*>(nullptr), false)) << "type " << int(type);
  }
  MarkTxData(0);
  EXPECT_EQ(PortTable[0].TxPending, 0);
  EXPECT_FALSE(ports.TakeSendEvent());

  QueueLinkPacket(PKT_OPEN, nullptr, 0, 0);
  EXPECT_TRUE(ports.TakeSendEvent());
  QueueLinkPacket(PKT_CLOSE, nullptr, 0, 0);
  EXPECT_TRUE(ports.TakeSendEvent());
  EXPECT_EQ(ports.DrainControlQueue(0), 2);

  ports.OpenLink(1);
  MarkTxData(1);
  EXPECT_EQ(PortTable[1].TxPending, 1);
  EXPECT_EQ(PortTable[1].ControlQueue, nullptr);
  EXPECT_TRUE(ports.TakeSendEvent());
  EXPECT_EQ(PortTable[0].TxPending, 0);
}

// A packet whose node cannot be allocated, or whose payload is longer than a node holds, is
// lost alone (the sender is still woken); the others leave in queue order with the sequence
// they were queued with.
TEST_F(LinkPacketTest, PacketsLeaveInQueueOrderAndOnlyAFailedOneIsLost) {
  DriverPorts ports(1);
  ports.OpenLink(0);
  PortTable[0].InSeq = 7;
  QueueLinkPacket(PKT_RXACK, nullptr, 0, 0);
  PortTable[0].InSeq = 8;  // moves on before the sender takes the packet
  QueueLinkPacket(PKT_BREAK_ON, nullptr, 0, 0);
  ports.TakeSendEvent();
  host::ex::FailNthAllocation(1);
  QueueLinkPacket(PKT_SETTINGS, nullptr, 0, 0);
  EXPECT_TRUE(ports.TakeSendEvent());
  UCHAR big[CONTROL_PAYLOAD_MAX + 1] = {};
  QueueLinkPacket(PKT_SETTINGS, big, sizeof big, 0);
  QueueLinkPacket(PKT_BREAK_OFF, nullptr, 0, 0);
  QueueLinkPacket(PKT_SETTINGS, big, CONTROL_PAYLOAD_MAX, 0);

  std::vector<UCHAR> largest{PKT_SETTINGS, 0x00, LINK_HEADER_SIZE + CONTROL_PAYLOAD_MAX, 0x00};
  largest.resize(LINK_HEADER_SIZE + CONTROL_PAYLOAD_MAX);
  EXPECT_EQ(Detach(0), (Packets{{PKT_RXACK, 0x00, 0x04, 0x70}, {PKT_BREAK_ON, 0x00, 0x04, 0x00},
                                {PKT_BREAK_OFF, 0x00, 0x04, 0x00}, largest}));
  EXPECT_EQ(PortTable[0].ControlQueue, nullptr);
}

// Producers on several threads append to two ports' queues while a consumer detaches them as
// the sender does: every node is seen exactly once, and each producer's nodes in its order.
TEST_F(LinkPacketTest, ConcurrentAppendAndDetachSeeEveryNodeOnceInOrder) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2000;
  DriverPorts ports(2);
  for (int port : {0, 1}) ports.OpenLink(port);

  std::atomic<int> producersDone{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; p++) {
    producers.emplace_back([p, &producersDone] {
      for (int n = 0; n < kPerProducer; n++) {
        UCHAR payload[3] = {static_cast<UCHAR>(p), static_cast<UCHAR>(n & 0xFF), static_cast<UCHAR>(n >> 8)};
        QueueLinkPacket(PKT_SETTINGS, payload, sizeof payload, p % 2);
      }
      producersDone++;
    });
  }

  std::vector<int> next(kProducers, 0);  // each producer's next number: its nodes seen once, in order
  bool inOrder = true;
  auto consume = [&] {
    for (int port : {0, 1}) {
      for (const auto& packet : Detach(port)) {
        int p = packet[4], n = packet[5] | (packet[6] << 8);
        inOrder = inOrder && n == next[p];
        next[p] = n + 1;
      }
    }
  };
  while (producersDone.load() < kProducers) consume();
  for (auto& t : producers) t.join();
  consume();

  EXPECT_TRUE(inOrder);
  for (int p = 0; p < kProducers; p++) EXPECT_EQ(next[p], kPerProducer);
}

}  // namespace
