// The read path on the manual clock: what the timeouts make of a read, what data announced
// does to a pending read, the copy across the ring's wrap, the receive acknowledgement at read
// start, and timer calls that come late.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/session/executive.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

// A read of `length` bytes; its buffer holds at most 4 KiB (enough for every read that takes bytes).
Request& Read(SerialBench& bench, ULONG length) {
  Request& read = bench.Transfer(IRP_MJ_READ, std::min<ULONG>(length, 4096));
  IoGetNextIrpStackLocation(read.irp)->Parameters.Read.Length = length;
  bench.Send(read, Through(DispatchRead));
  return read;
}

void SetTimeouts(PortRecord* port, ULONG interval, ULONG multiplier, ULONG constant) {
  port->Timeouts[TIMEOUT_READ_INTERVAL] = interval;
  port->Timeouts[TIMEOUT_READ_MULTIPLIER] = multiplier;
  port->Timeouts[TIMEOUT_READ_CONSTANT] = constant;
}

// Relative due time of an armed timer; 0 when it is not armed.
int64_t DueIn(const KTIMER& timer) {
  return timer.Header.Inserted ? timer.DueTime.QuadPart - host::session::SystemTime() : 0;
}

class ReadPathTest : public testsupport::ManualExecutive {};

TEST_F(ReadPathTest, TimeoutsDecideWhenAReadEnds) {
  constexpr ULONG MAX = MAXULONG;
  constexpr NTSTATUS PENDING = STATUS_PENDING;
  // The read timeouts, bytes held, the read's length; its status at dispatch, the total and interval timers' due
  // times and when the read ends, in ms (0: none); how it ends and with how many bytes.
  using Case = std::tuple<ULONG, ULONG, ULONG, ULONG, ULONG, NTSTATUS, int64_t, int64_t, int64_t, NTSTATUS, ULONG>;
  const Case cases[] = {
      {MAX, 0, 0, 0, 10, STATUS_SUCCESS, 0, 0, 0, STATUS_SUCCESS, 0},  // what is there, at once
      {MAX, 0, 0, 5, 10, STATUS_SUCCESS, 0, 0, 0, STATUS_SUCCESS, 5},
      {MAX, 0, 200, 2, 10, STATUS_SUCCESS, 0, 0, 0, STATUS_SUCCESS, 2},  // ends on a first byte
      {MAX, MAX, 500, 0, 10, PENDING, 500, 0, 500, STATUS_TIMEOUT, 0},   // one byte, 500 ms
      {MAX, 7, MAX, 0, 10, PENDING, 0, 0, 0, PENDING, 0},                // no timer at all
      {0, 0, 1000, 0, 10, PENDING, 1000, 0, 1000, STATUS_TIMEOUT, 0},
      {0, 10, 100, 0, 50, PENDING, 600, 0, 600, STATUS_TIMEOUT, 0},
      {50, 0, 0, 3, 10, PENDING, 0, 100, 100, STATUS_TIMEOUT, 3},        // first 100 ms tick
      {50, 0, 0, 0, 10, PENDING, 0, 100, 0, PENDING, 0},  // held nothing: no interval end
      {19999, 0, 0, 3, 10, PENDING, 0, 100, 20000, STATUS_TIMEOUT, 3},
      {30000, 0, 0, 3, 10, PENDING, 0, 1000, 30000, STATUS_TIMEOUT, 3},
      {0, 0, 0, 0, 10, PENDING, 0, 0, 0, PENDING, 0},  // waits for data
      // The longest transfer is taken; one byte more is refused at dispatch.
      {MAX, 0, 0, 0, 0x7FFFFFFF, STATUS_SUCCESS, 0, 0, 0, STATUS_SUCCESS, 0},
      {MAX, 0, 0, 0, 0x80000000, STATUS_INVALID_PARAMETER, 0, 0, 0, STATUS_INVALID_PARAMETER, 0},
      // A total beyond 64 bits of 100 ns waits the longest time there is, never less.
      {0, MAX, 3134037636, 0, 429496, PENDING, -1, 0, 0, PENDING, 0},
  };
  for (auto [interval, multiplier, constant, held, length, atStart, totalDue, intervalStep, endsAfter, end, bytes] :
       cases) {
    SCOPED_TRACE(testing::Message() << interval << "/" << multiplier << "/" << constant);
    SerialBench bench;
    PortRecord* port = bench.Port();
    bench.Receive(PKT_DATA, 0, Ascending(held));
    host::session::RunQueuedDpcs();
    SetTimeouts(port, interval, multiplier, constant);
    Request& read = Read(bench, length);
    EXPECT_EQ(read.dispatchStatus, atStart);
    if (totalDue < 0) {
      EXPECT_EQ(port->ReadTotalTimer.DueTime.QuadPart, INT64_MAX);
    } else {
      EXPECT_EQ(DueIn(port->ReadTotalTimer), totalDue * kMillisecond);
    }
    EXPECT_EQ(DueIn(port->ReadIntervalTimer), intervalStep * kMillisecond);
    if (atStart == STATUS_PENDING && end != STATUS_PENDING) {
      host::session::AdvanceClock(endsAfter * kMillisecond - 1);
      EXPECT_FALSE(read.done);
      host::session::AdvanceClock(1);
    } else {
      host::session::AdvanceClock(60 * kSecond);
    }
    EXPECT_EQ(std::pair(read.done ? read.status : STATUS_PENDING, read.done ? read.information : 0),
              std::pair(end, ULONG_PTR{bytes}));
  }
}

// A pending read takes the bytes announced, in order across the ring's wrap, and ends once it
// is full (all timeouts 0); the next read takes what is left and waits on for more. The
// sequenced data accepted is acknowledged once for the run, when a read first takes from it.
// The data's announcement raises SERIAL_EV_RXCHAR for a wait.
TEST_F(ReadPathTest, DataAnnouncedFillsThePendingReadInOrderAndIsAcknowledgedOnce) {
  SerialBench bench;
  PortTable[0].RxRing.ReadIndex = 1000;
  PortTable[0].RxRing.WriteIndex = 1000;
  PortTable[0].InSeq = 1;
  bench.Port()->WaitMask = SERIAL_EV_RXCHAR;
  Request& wait = bench.Queue(bench.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), &MaskClass, StartMask);
  Request& first = Read(bench, 10);
  EXPECT_EQ(first.dispatchStatus, STATUS_PENDING);
  Request& none = Read(bench, 0);
  EXPECT_EQ(std::pair(none.status, none.boost), std::pair(STATUS_SUCCESS, CCHAR(IO_NO_INCREMENT))) << "on the spot";
  EXPECT_EQ(bench.Port()->CurrentReadIrp, first.irp);

  bench.Receive(PKT_SEQDATA, 2, Ascending(40, 0x20));  // bytes counting up from 0x20 throughout
  bench.Receive(PKT_SEQDATA, 3, Ascending(20, 0x48));
  host::session::RunQueuedDpcs();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(std::vector<UCHAR>(first.buffer.begin(), first.buffer.begin() + first.information), Ascending(10, 0x20));
  EXPECT_EQ(wait.Mask(), ULONG(SERIAL_EV_RXCHAR));

  Request& second = Read(bench, 100);
  Request& queued = Read(bench, 100);
  EXPECT_EQ(second.dispatchStatus, STATUS_PENDING);
  auto sent = bench.SendPass();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::tuple(sent[0].type, sent[0].sequence, sent[0].payload.size()), std::tuple(UCHAR(PKT_RXACK), 3, 0u));

  bench.Receive(PKT_DATA, 0, Ascending(5, 0x5C));
  host::session::RunQueuedDpcs();
  EXPECT_FALSE(second.done) << "55 of 100";
  bench.Receive(PKT_DATA, 0, Ascending(45, 0x61));
  host::session::RunQueuedDpcs();
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(std::vector<UCHAR>(second.buffer.begin(), second.buffer.begin() + second.information),
            Ascending(100, 0x2A));
  EXPECT_FALSE(queued.done);
  EXPECT_TRUE(bench.SendPass().empty()) << "one acknowledgement per accepted run";
}

// A read ends while its timer's call is already on its way (queued behind the data call that
// fills it): the call leaves the next read, which has no timeout, alone.
TEST_F(ReadPathTest, ALateTimerCallNeverEndsTheNextRead) {
  for (auto [interval, constant, held] : {std::tuple{50u, 0u, 3u}, {0u, 100u, 0u}}) {
    SCOPED_TRACE(interval);
    SerialBench bench;
    bench.Receive(PKT_DATA, 0, Ascending(held));
    host::session::RunQueuedDpcs();
    SetTimeouts(bench.Port(), interval, 0, constant);
    Request& ending = Read(bench, held + 1);
    Request& next = Read(bench, 10);
    SetTimeouts(bench.Port(), 0, 0, 0);
    bench.Receive(PKT_DATA, 0, {7});
    host::session::AdvanceClock(100 * kMillisecond);
    EXPECT_EQ(ending.status, STATUS_SUCCESS);
    EXPECT_FALSE(next.done);
    bench.Receive(PKT_DATA, 0, Ascending(10));
    host::session::RunQueuedDpcs();
    EXPECT_EQ(std::pair(next.status, next.information), std::pair(STATUS_SUCCESS, ULONG_PTR{10}));
  }
}

}  // namespace
