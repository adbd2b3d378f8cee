// Inbound dispatch: what each packet from a remote does to its port, and which port it reaches.
#include <gtest/gtest.h>

#include <vector>

#include "port/byte_ring.h"
#include "host/session/executive.h"
#include "link/link_threads.h"
#include "support/driver_ports.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using testsupport::DriverPorts;

namespace {

std::vector<UCHAR> Packet(UCHAR type, UCHAR channel, ULONG payloadBytes, ULONG sequence, ULONG lengthField = 0) {
  std::vector<UCHAR> packet(LINK_HEADER_SIZE + payloadBytes);
  EncodeLinkHeader(packet.data(), type, channel, lengthField ? lengthField : packet.size(), sequence);
  for (ULONG i = 0; i < payloadBytes; i++) packet[LINK_HEADER_SIZE + i] = static_cast<UCHAR>(i + 1);
  return packet;
}

// True when the deferred call was queued; takes it off the queue.
bool Queued(KDPC& dpc) { return KeRemoveQueueDpc(&dpc) != 0; }

class InboundDispatchTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    ports_ = std::make_unique<DriverPorts>(3);
    for (int i = 0; i < 3; i++) PortTable[i].RxRing.Buffer = rxStorage_ + i * RX_RING_SIZE;
  }
  void TearDown() override {
    ports_.reset();
    ManualExecutive::TearDown();
  }
  static void Dispatch(int port, const std::vector<UCHAR>& packet) { testsupport::DispatchAsReceiver(port, packet); }
  static LONG Held(int port) { return RingHeld(&PortTable[port].RxRing, RX_RING_SIZE); }
  static void Fill(int port, LONG bytes, LONG readIndex = 100) {
    PortTable[port].RxRing.ReadIndex = readIndex;
    PortTable[port].RxRing.WriteIndex = (readIndex + bytes) % RX_RING_SIZE;
  }

  std::unique_ptr<DriverPorts> ports_;
  UCHAR rxStorage_[3 * RX_RING_SIZE] = {};
};

// The payload is what the length field says, cut to the datagram; a field below the
// header's own four bytes means none. Unsequenced data is taken whole or dropped whole, and
// data taken, even none, wakes the reader.
TEST_F(InboundDispatchTest, DataIsTakenWholeOrDroppedWhole) {
  using Case = std::tuple<LONG, ULONG, ULONG, LONG, bool>;  // held, carried, length field; held after, reader woken
  const Case cases[] = {
      {600, 423, 0, 1023, true}, {600, 424, 0, 600, false},  // room for 423 more
      {5, 0, 0, 5, true},                                    // empty
      {5, 8, 1, 5, true},        {5, 8, 2, 5, true},         // fields below four
      {0, 6, 104, 6, true},                                  // a field beyond the datagram
  };
  for (auto [held, carried, lengthField, after, wakes] : cases) {
    SCOPED_TRACE(testing::Message() << held << "+" << carried << " field " << lengthField);
    Fill(0, held);
    Dispatch(0, Packet(PKT_DATA, 0, carried, 0, lengthField));
    EXPECT_EQ(std::pair(Held(0), Queued(ports_->Record(0)->ReadDataDpc)), std::pair(after, wakes));
    if (after > held) {
      EXPECT_EQ(rxStorage_[(100 + held) % RX_RING_SIZE], 1) << "first payload byte";
    }
  }
}

// Taken whole or not at all. One out of order (a repeat or a gap) is answered at once with a
// receive acknowledgement of what was taken, so that a lost acknowledgement never waits for the
// application's next read; one that does not fit is refused (InSeq stays) and the next read
// acknowledges again. A length field below four carries no payload: the packet is taken, empty.
TEST_F(InboundDispatchTest, SequencedDataIsTakenWholeInOrderOrRefusedForAnotherAcknowledgement) {
  // held, InSeq, the packet's sequence and payload; taken, acknowledged at once, length field
  using Case = std::tuple<LONG, LONG, LONG, LONG, bool, bool, ULONG>;
  const Case cases[] = {
      {1000, 3, 4, 23, true, false, 0}, {1000, 3, 4, 24, false, false, 0},  // room for 23 more
      {1023, 1, 2, 10, false, false, 0},                                    // a full ring
      {0, 15, 1, 4, true, false, 0},    {0, 15, 15, 4, false, true, 0},     // the wrap; a repeat
      {0, 1, 3, 4, false, true, 0},                                         // a gap
      {5, 4, 5, 8, true, false, 3},                                         // no payload
  };
  ports_->OpenLink(0);
  for (auto [held, inSeq, sequence, payload, taken, acknowledgedNow, lengthField] : cases) {
    SCOPED_TRACE(sequence);
    Fill(0, held);
    PortTable[0].InSeq = inSeq;
    ports_->Record(0)->RxAckPending = acknowledgedNow;  // each row must change it
    Dispatch(0, Packet(PKT_SEQDATA, 0, payload, sequence, lengthField));
    EXPECT_EQ(std::tuple(Held(0), PortTable[0].InSeq, Queued(ports_->Record(0)->ReadDataDpc),
                         ports_->Record(0)->RxAckPending),
              std::tuple(held + (taken && lengthField == 0 ? payload : 0), taken ? sequence : inSeq, taken,
                         acknowledgedNow ? 0u : 1u));
    ControlNode* acknowledgement = DetachControlQueue(0);
    EXPECT_EQ(acknowledgement != nullptr, acknowledgedNow);
    if (acknowledgement != nullptr) {
      const LinkHeader header = DecodeLinkHeader(acknowledgement->Header);
      EXPECT_EQ(std::pair(LONG{header.Sequence}, ULONG{header.Length}), std::pair(inSeq, LINK_HEADER_SIZE));
      ExFreePool(acknowledgement);
    }
  }
}

// An open reply counts while an open waits (or late, after one gave up); once the port is held,
// or its link open with no PKT_OPEN unanswered, a repeated or late one changes nothing: it would
// renumber the remote's data under the port. A close reply while the port is held with its link
// open answers no close and is ignored; once the link is down (or closing) it closes it.
TEST_F(InboundDispatchTest, OpenReplyCloseReplyAndLinkDownMoveTheLinkFlags) {
  PortRecord* record = ports_->Record(0);
  Dispatch(0, Packet(PKT_OPEN, 0, 0, 9, /*lengthField=*/4));
  EXPECT_EQ(record->LinkFlags, 0);
  Dispatch(0, Packet(PKT_OPEN, 0, 0, 9, /*lengthField=*/3));
  EXPECT_EQ(std::pair(record->LinkFlags, PortTable[0].InSeq), std::pair(USHORT(LINK_OPEN | LINK_CONFIRMED), 9));
  Dispatch(0, Packet(PKT_OPEN, 0, 0, 4, /*lengthField=*/3));
  EXPECT_EQ(PortTable[0].InSeq, 9) << "a repeated reply while the link is open";

  record->LinkFlags = record->LinkFlags | LINK_PORT_HELD;
  PortTable[0].InSeq = 12;
  Dispatch(0, Packet(PKT_CLOSE, 0, 0, 0));
  EXPECT_EQ(record->LinkFlags, LINK_PORT_HELD | LINK_OPEN | LINK_CONFIRMED);
  Dispatch(0, Packet(PKT_DOWN, 0, 0, 0));
  EXPECT_EQ(record->LinkFlags, LINK_PORT_HELD | LINK_CONFIRMED);
  Dispatch(0, Packet(PKT_OPEN, 0, 0, 9, /*lengthField=*/3));
  EXPECT_EQ(std::pair(record->LinkFlags, PortTable[0].InSeq), std::pair(USHORT(LINK_PORT_HELD | LINK_CONFIRMED), 12))
      << "a late reply while held";
  Dispatch(0, Packet(PKT_CLOSE, 0, 0, 0));
  EXPECT_EQ(record->LinkFlags, 0);
}

// An acknowledgement counts once and only for the chunk in flight that was sent (sequence
// 6 here); any other leaves the timer running. A poll's answer: 6 is delivered, any other
// sequence has the chunk sent again (the port marked for the sender), the timer running on.
TEST_F(InboundDispatchTest, AcknowledgementsCountOnlyForTheChunkSentOncePollAnswersKeepTheirMeaning) {
  // WriteInFlight, ChunkSequence, poll out, the acknowledgement's sequence; counted, chunk to resend
  using Case = std::tuple<ULONG, LONG, UCHAR, LONG, bool, bool>;
  const Case cases[] = {
      {1, 6, 0, 6, true, false},   {1, 6, 0, 5, false, false},  // a stale one
      {1, 0, 0, 6, false, false},                               // placed, not sent yet
      {0, 6, 0, 6, false, false},                               // already counted
      {1, 6, 1, 6, true, false},   {1, 6, 1, 5, false, true},   // answers to a poll
  };
  PortRecord* record = ports_->Record(0);
  ports_->OpenLink(0);
  for (auto [inFlight, chunkSequence, pollOut, sequence, counted, resend] : cases) {
    SCOPED_TRACE(testing::Message() << chunkSequence << "/" << sequence << " poll " << int(pollOut));
    record->WriteInFlight = inFlight;
    record->ChunkSequence = chunkSequence;
    record->RetransmitPending = pollOut;
    PortTable[0].TxPending = 0;
    KeSetTimer(&record->AckTimer, LARGE_INTEGER{.QuadPart = -80000000}, &record->AckTimeoutDpc);
    Dispatch(0, Packet(PKT_ACK, 0, 0, sequence));
    // The timer still running, the write engine woken, the port marked, the chunk's state.
    EXPECT_EQ(std::tuple(bool(KeCancelTimer(&record->AckTimer)), Queued(record->WriteDpc), bool(PortTable[0].TxPending),
                         record->WriteInFlight, record->RetransmitPending),
              std::tuple(!counted, counted, resend, counted ? 0u : inFlight, UCHAR(counted ? 0 : pollOut)));
  }
}

TEST_F(InboundDispatchTest, PollsAreAnsweredOnceOnlyWhileTheLinkIsOpen) {
  PortTable[1].RemoteChannel = 4;
  Dispatch(1, Packet(PKT_POLL, 4, 0, 3));
  EXPECT_EQ(PortTable[1].ControlQueue, nullptr);

  // A flood of polls leaves one answer waiting, never a queue of them.
  ports_->OpenLink(1);
  for (int i = 0; i < 1000; i++) Dispatch(1, Packet(PKT_POLL, 4, 0, 3));
  ControlNode* answer = DetachControlQueue(1);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->Next, nullptr);
  EXPECT_EQ(std::vector<UCHAR>(answer->Header, answer->Header + 4), std::vector<UCHAR>({PKT_ACK, 4, 4, 0}));
  ExFreePool(answer);
}

// Unknown types change nothing; nor does data for a port never opened, which has no ring.
TEST_F(InboundDispatchTest, UnknownTypesAndDataForAPortNeverOpenedChangeNothing) {
  ports_->OpenLink(0);
  for (UCHAR type : {UCHAR(PKT_SETTINGS), UCHAR(PKT_RXACK), UCHAR(PKT_BREAK_ON), UCHAR(6), UCHAR(200)}) {
    Dispatch(0, Packet(type, 0, 8, 1));
  }
  EXPECT_EQ(std::tuple(Held(0), ports_->Record(0)->LinkFlags, PortTable[0].ControlQueue),
            std::tuple(0, USHORT(LINK_OPEN | LINK_CONFIRMED | LINK_PORT_HELD), nullptr));
  PortTable[2].RxRing.Buffer = nullptr;
  Dispatch(2, Packet(PKT_DATA, 0, 10, 0));
  Dispatch(2, Packet(PKT_SEQDATA, 0, 10, 1));
  EXPECT_EQ(std::pair(PortTable[2].RxRing.WriteIndex, PortTable[2].InSeq), std::pair(0, 0));
  EXPECT_FALSE(Queued(ports_->Record(2)->ReadDataDpc));
}

TEST_F(InboundDispatchTest, DatagramsReachTheLowestMatchingPortWithARecord) {
  for (int i = 0; i < 3; i++) {
    PortTable[i].RemoteAddress = 0x7F000002;
    PortTable[i].RemoteChannel = 1;
  }
  PortTable[0].RemoteChannel = 0;
  EXPECT_EQ(std::tuple(FindInboundPort(0x7F000002, 1), FindInboundPort(0x7F000002, 0), FindInboundPort(0x7F000003, 1),
                       FindInboundPort(0x7F000002, 9)), std::tuple(1, 0, -1, -1));

  // A port beyond the devices created has configuration but no record: never a target.
  PortTable[1].PortRecord = nullptr;
  EXPECT_EQ(FindInboundPort(0x7F000002, 1), 2);
  PortTable[1].PortRecord = ports_->Record(1);

  // A registry channel outside 1..256 can never match the channel byte.
  PortTable[2].RemoteChannel = 299;
  EXPECT_EQ(FindInboundPort(0x7F000002, 299 & 0xFF), -1);
}

}  // namespace
