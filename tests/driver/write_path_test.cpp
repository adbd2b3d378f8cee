// The write path on the manual clock, with the sender's passes recorded and the remote's
// acknowledgements played by the test: chunking, polls and their answers, write timeouts,
// flushes and SERIAL_EV_TXEMPTY, the acknowledgement rules of the chunk in flight, and the
// immediate character, which shares the transmit ring with the chunk.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "host/rtl/debug_output.h"
#include "host/session/executive.h"
#include "link/tx_ring.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

using Sent = SerialBench::Sent;

class WritePathTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    bench_ = std::make_unique<SerialBench>();
    port_ = bench_->Port();
    PortTable[0].OutSeq = 1;
  }
  void TearDown() override {
    bench_.reset();
    ManualExecutive::TearDown();
  }
  // A write of `bytes`, or a flush, sent and its deferred calls run.
  Request& Write(const std::vector<UCHAR>& bytes, UCHAR major = IRP_MJ_WRITE) {
    Request& request = bench_->Transfer(major, static_cast<ULONG>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), request.buffer.begin());
    bench_->Send(request, Through(major == IRP_MJ_WRITE ? DispatchWrite : DispatchFlush));
    host::session::RunQueuedDpcs();
    return request;
  }
  Request& Flush() { return Write({}, IRP_MJ_FLUSH_BUFFERS); }
  // The one packet of a pass, which must be of `type`.
  Sent One(UCHAR type) {
    auto sent = bench_->SendPass();
    EXPECT_EQ(sent.size(), 1u);
    if (sent.empty()) return {};
    EXPECT_EQ(sent[0].type, type);
    EXPECT_TRUE(type != PKT_POLL || sent[0].payload.empty());
    return sent[0];
  }
  Sent Chunk() { return One(PKT_DATA); }
  void ExpectPoll(LONG sequence) { EXPECT_EQ(One(PKT_POLL).sequence, sequence); }
  // The remote's acknowledgement of `sequence`; one that counts for nothing leaves `pending` pending.
  void Acknowledge(LONG sequence, const Request* pending = nullptr) {
    bench_->Receive(PKT_ACK, sequence);
    host::session::RunQueuedDpcs();
    EXPECT_TRUE(pending == nullptr || !pending->done);
  }
  // The acknowledgement of the write's last chunk, which ends it with `bytes` written.
  void AcknowledgeLast(const Request& write, LONG sequence, ULONG_PTR bytes) {
    Acknowledge(sequence);
    EXPECT_EQ(std::pair(write.status, write.information), std::pair(STATUS_SUCCESS, bytes));
  }
  void SetWriteTimeouts(ULONG multiplier, ULONG constant) {
    port_->Timeouts[TIMEOUT_WRITE_MULTIPLIER] = multiplier;
    port_->Timeouts[TIMEOUT_WRITE_CONSTANT] = constant;
  }
  // A write whose first chunk went out, was polled for, and then was cancelled: the chunk.
  Sent CancelWhilePolled() {
    Request& cancelled = Write(Ascending(300));
    Sent chunk = Chunk();
    PollAnswered(chunk.sequence);
    EXPECT_TRUE(IoCancelIrp(cancelled.irp));
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    return chunk;
  }
  // Eight seconds on, the sender polls for the chunk of `polled`; then the remote's answer.
  void PollAnswered(LONG polled, std::optional<LONG> answer = {}) {
    host::session::AdvanceClock(8 * kSecond);
    ExpectPoll(polled);
    if (answer) Acknowledge(*answer);
  }
  // The one data packet of a pass, which must carry `payload` under `sequence`.
  Sent ExpectChunk(LONG sequence, const std::vector<UCHAR>& payload) {
    Sent chunk = Chunk();
    EXPECT_EQ(std::pair(chunk.sequence, chunk.payload), std::pair(sequence, payload));
    return chunk;
  }

  std::unique_ptr<SerialBench> bench_;
  PortRecord* port_ = nullptr;
};

TEST_F(WritePathTest, AWriteGoesOutOneAcknowledgedChunkAtATime) {
  for (const auto& [length, chunks] : {std::pair{300u, std::vector<size_t>{128, 128, 44}}, {128u, {128}}}) {
    SCOPED_TRACE(length);
    auto bytes = Ascending(length, static_cast<UCHAR>(length));
    Request& write = Write(bytes);
    EXPECT_EQ(write.dispatchStatus, STATUS_PENDING);
    std::vector<UCHAR> carried;
    for (size_t size : chunks) {
      EXPECT_EQ(port_->CharsQueued, static_cast<LONG>(length));
      Sent chunk = Chunk();
      EXPECT_EQ(chunk.payload.size(), size);
      EXPECT_TRUE(bench_->SendPass().empty()) << "the next chunk waits for the acknowledgement";
      EXPECT_FALSE(write.done);
      carried.insert(carried.end(), chunk.payload.begin(), chunk.payload.end());
      Acknowledge(chunk.sequence);
    }
    EXPECT_EQ(std::tuple(carried, write.status, write.information, port_->CharsQueued),
              std::tuple(bytes, STATUS_SUCCESS, ULONG_PTR{length}, 0));
  }
}

// Without an answer the chunk is polled for every 8 s for as long as it takes; the write
// timeouts, whatever their values, never end the write.
TEST_F(WritePathTest, AnUnacknowledgedChunkIsPolledEveryEightSecondsAndTheAnswerDecides) {
  SetWriteTimeouts(1000, 0);
  int64_t placed = host::session::SystemTime();
  Request& write = Write(Ascending(200));
  EXPECT_EQ(port_->WriteTotalTimer.DueTime.QuadPart - placed, 10 * kSecond) << "a constant below 10 s gives 10 s";
  Sent first = Chunk();
  for (int poll = 1; poll <= 3; poll++) {
    host::session::AdvanceClock(placed + poll * 8 * kSecond - host::session::SystemTime() - 1);
    EXPECT_TRUE(bench_->SendPass().empty());
    host::session::AdvanceClock(1);
    ExpectPoll(first.sequence);
  }
  EXPECT_FALSE(write.done);
  WriteShared(Unloading, 1);  // unload stops the timers once, relying on none coming back
  host::session::AdvanceClock(8 * kSecond);
  EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
  WriteShared(Unloading, 0);
  ExpectPoll(first.sequence);
  Acknowledge(first.sequence - 1);  // another sequence: the chunk goes again, under its own
  ExpectChunk(first.sequence, first.payload);
  PollAnswered(first.sequence, first.sequence);  // its own: delivered, the write goes on
  Sent second = ExpectChunk(first.sequence + 1, Ascending(72, 128));
  EXPECT_FALSE(write.done);
  AcknowledgeLast(write, second.sequence, 200);
}

// The poll timer runs from the chunk's sending: an application that cancels its write and
// writes again every few seconds neither postpones the poll nor gets anything of its new
// writes sent ahead of the unacknowledged chunk.
TEST_F(WritePathTest, CancellingAndWritingAgainNeverPostponesThePoll) {
  Request* write = &Write(Ascending(300));
  Sent chunk = Chunk();
  const int64_t sent = host::session::SystemTime();
  for (int poll = 1; poll <= 2; poll++) {
    host::session::AdvanceClock(sent + poll * 8 * kSecond - 3 * kSecond - host::session::SystemTime());
    EXPECT_TRUE(IoCancelIrp(write->irp));
    write = &Write(Ascending(300, 0x80));
    EXPECT_TRUE(bench_->SendPass().empty());
    host::session::AdvanceClock(3 * kSecond);
    ExpectPoll(chunk.sequence);
  }
  Acknowledge(chunk.sequence);
  ExpectChunk(chunk.sequence + 1, Ascending(128, 0x80));
}

TEST_F(WritePathTest, FlushesWaitForTheWritesBeforeThemAndTheLastEndRaisesTxEmpty) {
  Request& idle = Flush();
  EXPECT_EQ(std::pair(idle.dispatchStatus, idle.status), std::pair(STATUS_SUCCESS, STATUS_SUCCESS));

  port_->WaitMask = SERIAL_EV_TXEMPTY;
  Request& wait = bench_->Queue(bench_->Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), &MaskClass, StartMask);
  Request& first = Write(Ascending(10));
  Request& second = Write(Ascending(20));
  Request& flush = Flush();
  Request& again = Flush();
  Request& last = Write(Ascending(30));
  for (Request* write : {&first, &second, &last}) {
    EXPECT_EQ(std::pair(flush.done.load(), again.done.load()), std::pair(write == &last, write == &last));
    EXPECT_FALSE(wait.done);
    Acknowledge(Chunk().sequence);
    EXPECT_EQ(write->status, STATUS_SUCCESS);
  }
  EXPECT_EQ(std::tuple(flush.status, flush.order, again.order),
            std::tuple(STATUS_SUCCESS, second.order + 1, second.order + 2))
      << "right after the second write, before the third starts";
  EXPECT_EQ(std::pair(wait.status, wait.Mask()), std::pair(STATUS_SUCCESS, ULONG(SERIAL_EV_TXEMPTY)));
  EXPECT_GT(wait.order, last.order);
}

// A repeated or late acknowledgement of the previous chunk counts neither for the chunk
// waiting to go out nor for the one in flight (which may be lost): the write neither ends
// early nor puts a third chunk behind the second, and the acknowledgement timer runs on.
TEST_F(WritePathTest, OnlyTheSentChunksOwnAcknowledgementCountsAndOnlyOnce) {
  Request& write = Write(Ascending(200));
  Sent first = Chunk();
  Acknowledge(first.sequence);
  Acknowledge(first.sequence, &write);  // before the sender took the second chunk
  Sent second = ExpectChunk(first.sequence + 1, Ascending(72, 128));
  Acknowledge(first.sequence, &write);  // while the second is out, and lost
  EXPECT_TRUE(bench_->SendPass().empty());
  PollAnswered(second.sequence, first.sequence);  // the remote has not got it
  EXPECT_EQ(Chunk().payload, second.payload);
  AcknowledgeLast(write, second.sequence, 200);
}

// Cancelling the current write while its chunk is out and polled for: the chunk stays in
// flight, so that the remote gets its bytes before any later write's. The poll's answer still
// has it sent again with no write current; the next write places its chunk only once that
// one is acknowledged, and does not complete at once; CharsQueued keeps only its bytes.
TEST_F(WritePathTest, ACancelledWritesChunkInFlightStillGoesBeforeTheNextWrite) {
  Sent old = CancelWhilePolled();
  host::session::RunQueuedDpcs();
  Acknowledge(old.sequence - 1);  // the answer to the poll: the remote has not got it
  ExpectChunk(old.sequence, old.payload);

  auto bytes = Ascending(50, 0x80);
  Request& next = Write(bytes);
  EXPECT_EQ(port_->CharsQueued, 50);
  EXPECT_TRUE(bench_->SendPass().empty()) << "nothing of the next write while the old chunk is out";
  Acknowledge(old.sequence);
  Sent chunk = ExpectChunk(old.sequence + 1, bytes);
  Acknowledge(old.sequence, &next);  // late: counts for nothing
  AcknowledgeLast(next, chunk.sequence, 50);
  EXPECT_EQ(port_->CharsQueued, 0);
}

// A poll's answer arrives after the retransmission was already marked (by the next write's
// start) and the sender takes that retransmission before the answer's write-engine run: the
// chunk stays guarded, and is polled for again if that retransmission is lost too.
TEST_F(WritePathTest, AChunkWhoseRetransmissionWasTakenEarlyIsStillPolledFor) {
  Sent old = CancelWhilePolled();
  Request& next = Write(Ascending(20));
  bench_->Receive(PKT_ACK, old.sequence - 1);  // the answer; its deferred call still queued
  EXPECT_EQ(Chunk().payload, old.payload);     // the retransmission, lost
  host::session::RunQueuedDpcs();
  PollAnswered(old.sequence, old.sequence);
  AcknowledgeLast(next, Chunk().sequence, 20);
}

// The remote's acknowledgement of `answered`, as a deferred call whose context is the bench.
LONG answered = 0;
VOID NTAPI AnswerFromRemote(PKDPC, PVOID bench, PVOID, PVOID) {
  static_cast<SerialBench*>(bench)->Receive(PKT_ACK, static_cast<ULONG>(answered));
}

// The acknowledgement reaches the port in the instant the acknowledgement timer expires, its
// deferred call already queued: the next chunk still goes out fresh, not as a resend.
TEST_F(WritePathTest, AnAcknowledgementAsTheTimerFiresLeavesTheNextChunkFresh) {
  KTIMER arrival;
  KDPC arrivalDpc;
  KeInitializeTimer(&arrival);
  KeInitializeDpc(&arrivalDpc, AnswerFromRemote, bench_.get());
  KeSetTimer(&arrival, LARGE_INTEGER{.QuadPart = -8 * kSecond}, &arrivalDpc);  // due with the chunk's timer, first
  Request& write = Write(Ascending(200));
  answered = Chunk().sequence;
  host::session::AdvanceClock(8 * kSecond);
  AcknowledgeLast(write, ExpectChunk(answered + 1, Ascending(72, 128)).sequence, 200);
}

// The timer expires again while the sender is sending the retransmission: the new poll stays
// outstanding, so that its answer has the chunk sent once more rather than counting it.
TEST_F(WritePathTest, ARetransmissionAskedForWhileTheSenderSendsIsKept) {
  Request& write = Write(Ascending(60));
  Sent first = Chunk();
  PollAnswered(first.sequence, first.sequence - 1);
  bool fired = false;
  bench_->Transport().AfterEachSend([&] { if (!std::exchange(fired, true)) host::session::AdvanceClock(8 * kSecond); });
  EXPECT_EQ(Chunk().payload, first.payload);
  bench_->Transport().AfterEachSend(nullptr);
  EXPECT_EQ(port_->RetransmitPending, 1);
  ExpectPoll(first.sequence);
  Acknowledge(first.sequence - 1, &write);
  EXPECT_EQ(Chunk().payload, first.payload);
  AcknowledgeLast(write, first.sequence, 60);
}

}  // namespace

// ---- the immediate character, which shares the transmit ring ----

class ImmediateCharTest : public WritePathTest {
 protected:
  Request& Immediate(UCHAR character, ULONG inputLength = 1) {
    Request& request = bench_->Control(IOCTL_SERIAL_IMMEDIATE_CHAR, &character, inputLength, 0);
    bench_->Send(request, Through(DispatchDeviceControl));
    return request;
  }
  Request& SentImmediate(UCHAR character) {
    Request& request = Immediate(character);
    host::session::RunQueuedDpcs();
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    return request;
  }
  // Fills the transmit ring with `count` ascending bytes, under the PortLock as writers do.
  void FillTxRing(LONG count) {
    KIRQL old = KfAcquireSpinLock(&port_->PortLock);
    PlaceTxBytes(0, Ascending(count).data(), count);
    KfReleaseSpinLock(&port_->PortLock, old);
  }
};

TEST_F(ImmediateCharTest, OneCharacterAtATimeGoesIntoTheRingWithinItsTimer) {
  Request& empty = Immediate('x', 0);
  EXPECT_EQ(std::pair(empty.status, empty.information), std::pair(STATUS_BUFFER_TOO_SMALL, ULONG_PTR{0}));
  SetWriteTimeouts(10, 40);
  FillTxRing(126);
  host::rtl::ClearDebugOutput();
  int64_t start = host::session::SystemTime();
  Request& first = Immediate('!');
  EXPECT_EQ(std::tuple(first.dispatchStatus, port_->ImmediateTotalTimer.DueTime.QuadPart - start, port_->CharsQueued),
            std::tuple(STATUS_PENDING, 50 * kMillisecond, 1));
  EXPECT_EQ(Immediate('?').status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(first.done);
  host::session::RunQueuedDpcs();
  EXPECT_EQ(std::tuple(first.status, first.information, first.boost),
            std::tuple(STATUS_SUCCESS, ULONG_PTR{0u}, CCHAR(IO_SERIAL_INCREMENT)));
  EXPECT_EQ(host::rtl::DebugOutput(), "do CurrentImmediateIrp\n");
  EXPECT_EQ(std::tuple(port_->CharsQueued, port_->ImmediatePending, port_->TxRingFull), std::tuple(0, 0, 0));
  EXPECT_FALSE(KeCancelTimer(&port_->ImmediateTotalTimer)) << "stopped as the request ended";

  SentImmediate('#');  // into the last free slot
  EXPECT_EQ(port_->TxRingFull, 1);
  auto ring = Ascending(126);
  ring.insert(ring.end(), {'!', '#'});
  EXPECT_EQ(Chunk().payload, ring);
}

// With no room, the character ends by its timer, or by cancellation without one; either way
// it no longer holds back SERIAL_EV_TXEMPTY. A timer left over from an earlier request never
// ends a later one.
TEST_F(ImmediateCharTest, ACharacterWithoutRoomEndsByItsTimerOrCancellation) {
  FillTxRing(128);
  port_->WaitMask = SERIAL_EV_TXEMPTY;
  Request& wait = bench_->Queue(bench_->Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), &MaskClass, StartMask);
  SetWriteTimeouts(10, 40);
  Request& timed = Immediate('t');
  host::session::AdvanceClock(50 * kMillisecond - 1);
  EXPECT_EQ(std::pair(timed.done.load(), port_->ImmediatePending), std::pair(false, UCHAR{1}));
  host::session::AdvanceClock(1);
  EXPECT_EQ(std::tuple(timed.status, port_->ImmediatePending, port_->CharsQueued), std::tuple(STATUS_TIMEOUT, 0, 0));
  EXPECT_EQ(std::pair(wait.status, wait.Mask()), std::pair(STATUS_SUCCESS, ULONG(SERIAL_EV_TXEMPTY)));

  SetWriteTimeouts(0, 0);
  Request& untimed = Immediate('u');
  KeSetTimer(&port_->ImmediateTotalTimer, LARGE_INTEGER{.QuadPart = -1}, &port_->ImmediateTimeoutDpc);
  host::session::AdvanceClock(kSecond);  // as if the earlier request's timer had fired late
  EXPECT_FALSE(untimed.done);
  EXPECT_TRUE(IoCancelIrp(untimed.irp));
  EXPECT_EQ(std::tuple(untimed.status, port_->CharsQueued, PortTable[0].TxHeld), std::tuple(STATUS_CANCELLED, 0, 128))
      << "nothing written over the ring's bytes";
}

// A character that met a full ring goes once the write's acknowledged chunk leaves room: after
// the write's last byte, on its own, under a sequence of its own.
TEST_F(ImmediateCharTest, ACharacterThatMetAFullRingGoesWhenRoomIsFreed) {
  auto bytes = Ascending(128);
  Request& write = Write(bytes);
  Request& immediate = Immediate('i');
  host::session::RunQueuedDpcs();
  EXPECT_FALSE(immediate.done);
  AcknowledgeLast(write, ExpectChunk(2, bytes).sequence, 128);
  EXPECT_EQ(immediate.status, STATUS_SUCCESS);
  ExpectChunk(3, {'i'});
}

// A character placed while the write's chunk awaits its acknowledgement neither goes out
// under a sequence that the chunk's acknowledgement would confirm, nor replaces the chunk's
// retransmission copy, nor lets its own acknowledgement count for the chunk: with the
// acknowledgements lost, both reach the remote once. Placed before the chunk went out, it
// shares the chunk's packet and its retransmission.
TEST_F(ImmediateCharTest, ACharacterBesideAChunkInFlightLeavesTheChunkItsOwn) {
  auto bytes = Ascending(10, 0x40);
  Request& write = Write(bytes);
  Sent chunk = Chunk();
  SentImmediate('c');
  EXPECT_TRUE(bench_->SendPass().empty()) << "the character waits for the chunk's acknowledgement";
  PollAnswered(chunk.sequence, chunk.sequence - 1);  // the remote missed the chunk
  ExpectChunk(chunk.sequence, bytes);
  Acknowledge(chunk.sequence + 1, &write);  // names no packet sent: counts for nothing
  AcknowledgeLast(write, chunk.sequence, 10);
  Sent character = ExpectChunk(chunk.sequence + 1, {'c'});

  // Sent on its own, the character is a chunk in flight of one byte: nothing goes behind it
  // until it is acknowledged, and lost, it is polled for and sent again under its sequence
  // (a strict remote takes nothing after a gap). A character placed while the next write
  // waits goes ahead of the write's bytes, in one packet with its first chunk.
  Request& next = Write(bytes);
  SentImmediate('d');
  EXPECT_TRUE(bench_->SendPass().empty());
  PollAnswered(character.sequence, chunk.sequence);  // the remote missed the character
  ExpectChunk(character.sequence, character.payload);
  Acknowledge(character.sequence);
  bytes.insert(bytes.begin(), 'd');
  Sent shared = ExpectChunk(character.sequence + 1, bytes);
  Acknowledge(character.sequence, &next);  // late: not the shared packet's
  PollAnswered(shared.sequence, character.sequence);
  EXPECT_EQ(Chunk().payload, shared.payload);
  AcknowledgeLast(next, shared.sequence, 10);
  EXPECT_TRUE(bench_->SendPass().empty());
}

namespace {

// A write longer than the ring keeps an immediate character behind its last byte, and the
// character goes once that byte is placed. A character whose end is already under way on
// another processor (its cancel routine taken) is left to that end: not placed, not completed.
TEST_F(ImmediateCharTest, ACharacterWaitsBehindALongWriteAndIsLeftToAnEndUnderWay) {
  auto bytes = Ascending(200);
  Request& write = Write(bytes);
  Request& immediate = Immediate('i');
  bytes.push_back('i');
  std::vector<UCHAR> remote;
  std::vector<size_t> chunks;
  for (int i = 0; i < 4 && remote.size() < bytes.size(); i++) {
    host::session::RunQueuedDpcs();
    Sent chunk = Chunk();
    remote.insert(remote.end(), chunk.payload.begin(), chunk.payload.end());
    chunks.push_back(chunk.payload.size());
    Acknowledge(chunk.sequence);
  }
  EXPECT_EQ(remote, bytes);
  EXPECT_EQ(chunks, std::vector<size_t>({128, 73})) << "the character rides with the last bytes";
  EXPECT_EQ(std::pair(write.status, immediate.status), std::pair(STATUS_SUCCESS, STATUS_SUCCESS));

  Request& claimed = Immediate('k');
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PDRIVER_CANCEL cancel = IoSetCancelRoutine(claimed.irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  host::session::RunQueuedDpcs();
  EXPECT_FALSE(claimed.done);
  IoSetCancelRoutine(claimed.irp, cancel);
  EXPECT_TRUE(IoCancelIrp(claimed.irp));
  EXPECT_EQ(claimed.status, STATUS_CANCELLED);
  EXPECT_TRUE(bench_->SendPass().empty());
}

}  // namespace
