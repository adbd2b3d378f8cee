// The sender: rotation, control before data, data packets from the transmit ring, sequence
// numbering, retransmission and the reopen after a failed pass.
#include <gtest/gtest.h>

#include <thread>

#include "host/ke/waiter_count.h"
#include "host/session/executive.h"
#include "support/executive_session.h"
#include "support/link_fixture.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

// A data packet as the port's sender sends it (the fixture gives port N channel 10 + N).
std::vector<UCHAR> DataPacket(int port, LONG sequence, const std::vector<UCHAR>& payload) {
  std::vector<UCHAR> packet(LINK_HEADER_SIZE + payload.size());
  EncodeLinkHeader(packet.data(), PKT_DATA, static_cast<UCHAR>(10 + port), packet.size(), sequence);
  std::copy(payload.begin(), payload.end(), packet.begin() + LINK_HEADER_SIZE);
  return packet;
}

class SenderTest : public ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    link_ = std::make_unique<LinkFixture>(4);
  }
  void TearDown() override {
    link_.reset();
    ManualExecutive::TearDown();
  }
  std::vector<CapturedRequest> Pass() {
    link_->Transport().ClearSent();
    PFILE_OBJECT failedOn = nullptr;
    SendPass(0, &failedOn);
    return link_->Transport().Sent();
  }
  // The sender thread itself, started and stopped as the link does.
  void StartSender() {
    HANDLE handle;
    ASSERT_TRUE(NT_SUCCESS(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SenderThread, nullptr)));
    ASSERT_TRUE(NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread_, nullptr)));
    ZwClose(handle);
  }
  void StopSender() {
    WriteShared(Unloading, 1);
    KeSetEvent(&SendEvent, 16, FALSE);
    KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread_);
    WriteShared(Unloading, 0);
  }
  std::unique_ptr<LinkFixture> link_;
  PVOID thread_ = nullptr;
};

// A data packet takes every byte placed, across the ring's wrap, numbered with the next OutSeq,
// and keeps them as the chunk to send again. A port not held with its link open (closed, or
// opening before its PKT_OPEN went out) sends nothing: its bytes wait in the ring for the open.
TEST_F(SenderTest, FreshDataTakesExactlyWhatWasPlaced) {
  using Case = std::tuple<int, LONG, LONG, LONG, LONG, USHORT>;  // port, OutSeq, ring index, placed; sequence, flags
  const Case cases[] = {{1, 1, 120, 10, 2, 0x16}, {0, 1, 77, 128, 2, 0x16}, {3, 0, 5, 2, 0, 0},
                        {3, 1, 5, 0, 0, LINK_OPEN | LINK_CONFIRMED}, {3, 1, 5, 0, 2, 0x16}};
  for (auto [port, outSeq, ringIndex, placed, sequence, flags] : cases) {
    SCOPED_TRACE(port);
    PortTable[port].OutSeq = outSeq;
    link_->Ports().Record(port)->LinkFlags = flags;
    if (placed != 0) {
      PortTable[port].TxRing.ReadIndex = ringIndex;
      PortTable[port].TxRing.WriteIndex = ringIndex;
      link_->Place(port, Ascending(placed, 0x30));
    }
    link_->MarkData(port);
    auto sent = Pass();
    if (sequence == 0) {
      EXPECT_EQ(std::pair(sent.size(), PortTable[port].TxHeld), std::pair(size_t{0}, LONG{2}));
      continue;
    }
    const LONG count = placed != 0 ? placed : 2;  // the closed port's bytes
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<UCHAR> payload = Ascending(count, 0x30);
    EXPECT_EQ(sent[0].data, DataPacket(port, sequence, payload));
    EXPECT_EQ(std::tuple(sent[0].minor, CapturedAddress(sent[0]), CapturedPort(sent[0])),
              std::tuple(UCHAR(TDI_SEND_DATAGRAM), 0x7F000001u, uint16_t(519)));
    EXPECT_EQ(std::tuple(PortTable[port].OutSeq, PortTable[port].TxPending, PortTable[port].TxRing.ReadIndex),
              std::tuple(sequence, UCHAR(0), PortTable[port].TxRing.WriteIndex));
    const UCHAR* copy = link_->Ports().Record(port)->RetransmitCopy;  // the packet is the chunk in flight
    EXPECT_EQ(std::pair(std::vector<UCHAR>(copy, copy + count), link_->Ports().Record(port)->ChunkSequence),
              std::pair(payload, sequence));
  }
}

// A late or duplicated acknowledgement clears the retransmission after the write engine asked
// for it: the mark then finds nothing placed, and no stale ring bytes go out as new data.
TEST_F(SenderTest, RetransmissionRepeatsPayloadAndSequenceAndAnAcknowledgedOneSendsNothing) {
  PortRecord* record = link_->Ports().Record(2);
  PortTable[2].OutSeq = 15;
  link_->Place(2, Ascending(5, 0x61));
  record->WriteInFlight = 1;
  link_->MarkData(2);
  auto first = Pass();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].data, DataPacket(2, 1, Ascending(5, 0x61)));  // 15 wraps to 1

  // Bytes placed behind the sent chunk (an immediate character) are neither part of its
  // retransmission nor sent fresh while it awaits its acknowledgement: they would take its
  // sequence and copy. They go out once the chunk is acknowledged.
  link_->Place(2, Ascending(3, 0x70));
  record->RetransmitPending = 1;
  link_->MarkData(2);
  const int64_t start = host::session::SystemTime();
  auto again = Pass();
  EXPECT_EQ(host::session::SystemTime() - start, 101 * kMillisecond) << "100 ms before a resend, 1 ms before data";
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].data, first[0].data);
  EXPECT_EQ(PortTable[2].OutSeq, 1);
  EXPECT_EQ(record->RetransmitPending, 0);
  link_->MarkData(2);
  EXPECT_TRUE(Pass().empty());

  record->WriteInFlight = 0;
  link_->MarkData(2);
  auto next = Pass();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].data, DataPacket(2, 2, Ascending(3, 0x70)));

  // The acknowledgement timer expired, the remote's answer asked for the packet again ...
  record->RetransmitPending = 1;
  link_->MarkData(2);
  // ... and then the remote's acknowledgement of sequence 2 arrives twice.
  std::vector<UCHAR> ack(4);
  EncodeLinkHeader(ack.data(), PKT_ACK, 12, 4, 2);
  for (int i = 0; i < 2; i++) {
    KIRQL old = KfAcquireSpinLock(&record->PortLock);
    DispatchInboundPacket(2, ack.data(), 4);
    KfReleaseSpinLock(&record->PortLock, old);
  }
  EXPECT_EQ(std::pair(record->RetransmitPending, PortTable[2].TxPending), std::pair(UCHAR(0), UCHAR(1)));
  EXPECT_TRUE(Pass().empty());
  EXPECT_EQ(std::pair(PortTable[2].OutSeq, PortTable[2].TxPending), std::pair(2, UCHAR(0)));
}

// Opens and polls carry the OutSeq of the moment they are sent, not of their queueing.
TEST_F(SenderTest, OpenAndPollGoOutWithOutSeqAndControlLeavesBeforeData) {
  UCHAR settings[18] = {1, 2, 3};
  PortTable[0].OutSeq = 7;
  QueueLinkPacket(PKT_OPEN, settings, sizeof settings, 0);  // the gate lets open through
  PortTable[0].OutSeq = 1;
  link_->Place(0, Ascending(4));
  link_->MarkData(0);
  QueueLinkPacket(PKT_BREAK_ON, nullptr, 0, 0);
  PortTable[1].OutSeq = 7;
  QueueLinkPacket(PKT_POLL, nullptr, 0, 1);
  PortTable[1].OutSeq = 8;
  const int64_t start = host::session::SystemTime();
  auto sent = Pass();
  EXPECT_EQ(host::session::SystemTime() - start, 3 * 8000 + 10000) << "800 us before each control packet, 1 ms before data";
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(std::vector<UCHAR>(sent[0].data.begin(), sent[0].data.begin() + 4),
            (std::vector<UCHAR>{PKT_OPEN, 10, 0x16, 0x10}));
  EXPECT_EQ(sent[0].data.size(), 22u);
  EXPECT_EQ(sent[1].data, (std::vector<UCHAR>{PKT_BREAK_ON, 10, 0x04, 0x00}));
  EXPECT_EQ(sent[2].data, DataPacket(0, 2, Ascending(4)));
  EXPECT_EQ(sent[3].data, (std::vector<UCHAR>{PKT_POLL, 11, 0x04, 0x80}));
  EXPECT_EQ(PortTable[0].ControlQueue, nullptr);
}

TEST_F(SenderTest, PassStatusIsTheLastSendsAndAFailedPassReopensOnce) {
  link_->Transport().FailSends(STATUS_HOST_UNREACHABLE);
  QueueLinkPacket(PKT_BREAK_ON, nullptr, 0, 0);
  PFILE_OBJECT failedOn = nullptr;
  EXPECT_EQ(SendPass(0, &failedOn), STATUS_HOST_UNREACHABLE);
  EXPECT_EQ(failedOn, UdpAddressObject);

  // The thread's own decision: after its failed pass it reopens the endpoint, once.
  int opens = link_->Transport().Opens();
  PFILE_OBJECT failed = UdpAddressObject;
  StartSender();
  QueueLinkPacket(PKT_BREAK_ON, nullptr, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return link_->Transport().Opens() == opens + 1; }));
  StopSender();
  EXPECT_NE(UdpAddressObject, failed);
  EXPECT_EQ(link_->Transport().Opens(), opens + 1);

  // A failed send followed by a good one leaves the pass successful.
  QueueLinkPacket(PKT_BREAK_ON, nullptr, 0, 0);
  QueueLinkPacket(PKT_BREAK_OFF, nullptr, 0, 1);
  link_->Transport().FailSends(STATUS_SUCCESS);
  EXPECT_EQ(SendPass(0, &failedOn), STATUS_SUCCESS);
  EXPECT_EQ(failedOn, nullptr);
}

// A reopen retires the object it replaces, and the object's last borrower to return it frees
// its slot: reopens while a receive is out never run out of slots. Reopens are one at a time:
// threads that failed on the same object together open one new object between them.
TEST_F(SenderTest, ReopensAreOneAtATimeAndFreeTheRetiredObjectsSlot) {
  for (int i = 0; i < 10; i++) {
    PFILE_OBJECT borrowed = AcquireUdpAddress();
    ASSERT_EQ(ReopenUdpEndpoint(borrowed), STATUS_SUCCESS) << i;
    ReleaseUdpAddress(borrowed);
  }
  for (int round = 0; round < 200; round++) {
    const PFILE_OBJECT failed = ReadShared(UdpAddressObject);
    const int opens = link_->Transport().Opens();
    std::atomic<int> ready{0};
    auto reopen = [&] {
      for (ready++; ready.load() < 2;) {
      }
      ReopenUdpEndpoint(failed);
    };
    std::thread other(reopen);
    reopen();
    other.join();
    ASSERT_EQ(link_->Transport().Opens(), opens + 1) << round;
  }
}

// The thread itself: every wake-up starts its pass one port further.
TEST_F(SenderTest, WakeUpsRotateTheFirstPortVisited) {
  StartSender();

  std::vector<int> firstPorts;
  for (int wake = 0; wake < 5; wake++) {
    // Queue one packet per port while the sender sleeps (its last pass over), then wake it once.
    ASSERT_TRUE(WaitUntil([&] { return host::ke::WaitersOn(&SendEvent) == 1; }));
    link_->Transport().ClearSent();
    for (int i = 0; i < 4; i++) {
      auto* node = static_cast<ControlNode*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ControlNode), POOL_TAG));
      EncodeLinkHeader(node->Header, PKT_BREAK_ON, static_cast<UCHAR>(10 + i), 4, 0);
      node->Next = nullptr;
      WriteShared(PortTable[i].ControlQueue, node);
    }
    KeSetEvent(&SendEvent, 16, FALSE);
    WaitUntil([&] { return link_->Transport().Sent().size() >= 4; });
    auto sent = link_->Transport().Sent();
    ASSERT_EQ(sent.size(), 4u);
    firstPorts.push_back(sent[0].data[1] - 10);
  }
  EXPECT_EQ(firstPorts, (std::vector<int>{1, 2, 3, 0, 1}));
  StopSender();
}

// A visit sends at most 16 of a port's control packets and wakes the sender for the rest, so
// that a port whose requests keep queueing cannot hold up the others.
TEST_F(SenderTest, AVisitSendsAtMostSixteenControlPacketsAndWakesTheSenderForTheRest) {
  for (int i = 0; i < 17; i++) QueueLinkPacket(i % 2 != 0 ? PKT_BREAK_OFF : PKT_BREAK_ON, nullptr, 0, 0);
  KeClearEvent(&SendEvent);
  EXPECT_EQ(Pass().size(), 16u);
  EXPECT_EQ(KeReadStateEvent(&SendEvent), 1);
  EXPECT_EQ(Pass().size(), 1u);
}

}  // namespace
