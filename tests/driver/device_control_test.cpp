// Device control: every code's buffer minimums, status and information count; the answers
// built byte for byte; the timeouts, DTR/RTS, wait-mask and purge checks. Each request's system
// buffer is exactly as large as the I/O manager would make it, so AddressSanitizer sees any
// answer that reads or writes past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/executive_session.h"
#include "support/serial_bench.h"

using testsupport::Request;
using testsupport::SerialBench;
using Bytes = std::vector<UCHAR>;

namespace {

class DeviceControlTest : public testsupport::ManualExecutive {
 protected:
  static NTSTATUS Dispatch(SerialBench& bench, Request& request) {
    return bench.Send(request, [](PortRecord* port, PIRP irp) {
      return DispatchDeviceControl(port->DeviceObject, irp);
    });
  }
  static Request& Control(SerialBench& bench, ULONG code, const void* input, ULONG in, ULONG out) {
    Request& request = bench.Control(code, input, in, out);
    Dispatch(bench, request);
    return request;
  }
  static Bytes Answer(SerialBench& bench, ULONG code, ULONG out) {
    Request& request = Control(bench, code, nullptr, 0, out);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    EXPECT_EQ(request.information, out);
    return Bytes(request.buffer.begin(), request.buffer.begin() + out);
  }
  static NTSTATUS SetFlow(SerialBench& bench, ULONG controlHandShake, ULONG flowReplace) {
    SERIAL_HANDFLOW flow{controlHandShake, flowReplace, 0, 0};
    return Control(bench, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, 0).status;
  }
  static NTSTATUS SetTimeouts(SerialBench& bench, const SERIAL_TIMEOUTS& timeouts) {
    return Control(bench, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0).status;
  }
};

struct Row {
  ULONG code;
  ULONG in, out;      // minimums
  NTSTATUS status;    // answer to zeroed buffers of exactly the minimums
  ULONG information;
};

// With zeroed input: line control 0 has no word length; a wait needs a mask and a purge a bit.
std::vector<Row> Table() {
  std::vector<Row> rows = {
      {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, STATUS_SUCCESS, 0},
      {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, STATUS_INVALID_PARAMETER, 0},
      {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, STATUS_SUCCESS, 0},
      {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, STATUS_SUCCESS, 20},
      {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, STATUS_SUCCESS, 4},
      {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, STATUS_SUCCESS, 0},
      {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, STATUS_INVALID_PARAMETER, 0},
      {IOCTL_SERIAL_PURGE, 4, 0, STATUS_INVALID_PARAMETER, 0},
      {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, STATUS_SUCCESS, 4},
      {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, STATUS_SUCCESS, 3},
      {IOCTL_SERIAL_GET_CHARS, 0, 6, STATUS_SUCCESS, 6},
      {IOCTL_SERIAL_SET_CHARS, 6, 0, STATUS_SUCCESS, 0},
      {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, STATUS_SUCCESS, 16},
      {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, STATUS_SUCCESS, 0},
      {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, STATUS_SUCCESS, 4},
      {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, STATUS_SUCCESS, 20},
      {IOCTL_SERIAL_GET_PROPERTIES, 0, 64, STATUS_SUCCESS, 64},
      {IOCTL_SERIAL_CONFIG_SIZE, 0, 4, STATUS_SUCCESS, 4},
      {IOCTL_SERIAL_GET_STATS, 0, 24, STATUS_SUCCESS, 24},
  };
  // Codes that take no buffer: done, not implemented, or unknown (0x1B0084 and 0x1B0088 get
  // and set the configuration block; 0x2B0044 is another device type's).
  for (ULONG code : {IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
                     IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_RTS,
                     IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLEAR_STATS}) {
    rows.push_back({code, 0, 0, STATUS_SUCCESS, 0});
  }
  for (ULONG code : {IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER,
                     IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_LSRMST_INSERT}) {
    rows.push_back({code, 0, 0, STATUS_NOT_IMPLEMENTED, 0});
  }
  for (ULONG code : {0x1B0084u, 0x1B0088u, ULONG(IOCTL_SERIAL_GET_MODEM_CONTROL), ULONG(IOCTL_SERIAL_SET_MODEM_CONTROL),
                     ULONG(IOCTL_SERIAL_SET_FIFO_CONTROL), 0x1B0000u, 0x1B0006u, 0x1B0041u, 0x2B0044u}) {
    rows.push_back({code, 0, 0, STATUS_INVALID_PARAMETER, 0});
  }
  return rows;
}

// At its minimums a code answers as the table says; one byte short on either side it is
// STATUS_BUFFER_TOO_SMALL with information 0 and the port record unchanged; with buffers far
// larger it gives the same answer and writes nothing past it.
TEST_F(DeviceControlTest, EveryCodeAnswersWithinItsBuffers) {
  SerialBench bench;
  PortRecord* port = bench.Port();
  for (const Row& row : Table()) {
    SCOPED_TRACE(testing::Message() << std::hex << row.code);
    Bytes zeros(256, 0);
    for (bool inputShort : {true, false}) {
      ULONG minimum = inputShort ? row.in : row.out;
      if (minimum == 0) continue;
      Bytes before(reinterpret_cast<UCHAR*>(port), reinterpret_cast<UCHAR*>(port + 1));
      Request& shortOne = Control(bench, row.code, zeros.data(), row.in - inputShort,
                                  row.out - !inputShort);
      EXPECT_EQ(shortOne.status, STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(shortOne.information, 0u);
      EXPECT_EQ(shortOne.boost, IO_NO_INCREMENT);
      EXPECT_EQ(std::memcmp(before.data(), port, sizeof *port), 0) << "nothing changed";
    }
    Request& exact = Control(bench, row.code, zeros.data(), row.in, row.out);
    EXPECT_EQ(exact.status, row.status);
    EXPECT_EQ(exact.information, row.information);

    Request& large = bench.Control(row.code, zeros.data(), row.in, 256);
    std::fill(large.buffer.begin() + row.in, large.buffer.end(), 0xA5);
    Dispatch(bench, large);
    EXPECT_EQ(large.status, row.status);
    EXPECT_EQ(large.information, row.information);
    EXPECT_TRUE(std::all_of(large.buffer.begin() + std::max(row.in, row.information),
                            large.buffer.end(), [](UCHAR b) { return b == 0xA5; }));
  }
  bench.TakePackets();
}

TEST_F(DeviceControlTest, AnswersByteForByte) {
  SerialBench bench;
  PortRecord* port = bench.Port();
  const Bytes properties = {
      64, 0, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, 0, 0, 0, 0, 0, 0, 0x10, 1, 0, 0, 0, 0xFF, 0, 0, 0,
      0x7F, 0, 0, 0, 0xF2, 0x6B, 0x06, 0x10, 0x0F, 0, 0x05, 0x07, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_PROPERTIES, 64), properties);
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_STATS, 24), Bytes(24, 0));
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_CONFIG_SIZE, 4), Bytes(4, 0));

  Control(bench, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, 0);
  PortTable[0].RxRing.ReadIndex = 1000;
  PortTable[0].RxRing.WriteIndex = 5;
  port->CharsQueued = 5;
  port->ImmediatePending = 1;
  const Bytes busy = {0, 0, 0, 0, 0x20, 0, 0, 0, 29, 0, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0};
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_COMMSTATUS, 20), busy);
  PortTable[0].RxRing.ReadIndex = 5;
  port->ImmediatePending = 0;
  port->CharsQueued = 0;
  Control(bench, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, 0);
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_COMMSTATUS, 20), Bytes(20, 0)) << "idle again";

  port->ModemStatus = 0x80;  // carrier detect, as an open leaves it
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_MODEMSTATUS, 4), Bytes({0x80, 0, 0, 0}));
  const UCHAR chars[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Control(bench, IOCTL_SERIAL_SET_CHARS, chars, 6, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_CHARS, 6), Bytes(chars, chars + 6));
  EXPECT_EQ(port->SettingsChars[0], 0) << "the settings image keeps its own characters";
  bench.TakePackets();
}

TEST_F(DeviceControlTest, TimeoutsRefuseOnlyAllThreeReadValuesAtMaximum) {
  SerialBench bench;
  const SERIAL_TIMEOUTS stored{1, 2, 3, 4, 5};
  ASSERT_EQ(SetTimeouts(bench, stored), STATUS_SUCCESS);
  EXPECT_EQ(SetTimeouts(bench, {MAXULONG, MAXULONG, MAXULONG, 7, 8}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_TIMEOUTS, 20),
            Bytes(reinterpret_cast<const UCHAR*>(&stored), reinterpret_cast<const UCHAR*>(&stored + 1)));
  for (int plain = 0; plain < 3; plain++) {
    ULONG read[3] = {MAXULONG, MAXULONG, MAXULONG};
    read[plain] = 10;
    const SERIAL_TIMEOUTS accepted{read[0], read[1], read[2], 7, 8};
    EXPECT_EQ(SetTimeouts(bench, accepted), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(bench.Port()->Timeouts, &accepted, sizeof accepted), 0);
  }
}

TEST_F(DeviceControlTest, DtrAndRtsAreRefusedOnlyWhileHandshakingOwnsThem) {
  struct Mode {
    ULONG control, replace;
    NTSTATUS dtr, rts;
  };
  const Mode modes[] = {
      {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, STATUS_SUCCESS, STATUS_SUCCESS},
      {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {0, SERIAL_TRANSMIT_TOGGLE, STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
  };
  SerialBench bench;
  for (const Mode& mode : modes) {
    ASSERT_EQ(SetFlow(bench, mode.control, mode.replace), STATUS_SUCCESS);
    bench.TakePackets();
    for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR}) {
      EXPECT_EQ(Control(bench, code, nullptr, 0, 0).status, mode.dtr);
    }
    for (ULONG code : {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}) {
      EXPECT_EQ(Control(bench, code, nullptr, 0, 0).status, mode.rts);
    }
    EXPECT_TRUE(bench.TakePackets().empty()) << "no line state reaches the remote";
  }
}

// Refused masks change nothing; an accepted event-character mask reaches the settings image
// before the request queues; a wait accepted through the dispatcher pends until a new mask.
TEST_F(DeviceControlTest, MaskAndPurgeRequestsAreCheckedBeforeTheyQueue) {
  SerialBench bench;
  PortRecord* port = bench.Port();
  port->SpecialChars[SPECIAL_EVENT] = '!';
  for (ULONG mask : {0x2000u | SERIAL_EV_RXFLAG, 0x80000000u}) {
    EXPECT_EQ(Control(bench, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0).status, STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(port->FlowWord, 0);
  for (ULONG mask : {0u, 0x10u, 0x80000001u}) {
    EXPECT_EQ(Control(bench, IOCTL_SERIAL_PURGE, &mask, 4, 0).status, STATUS_INVALID_PARAMETER);
  }
  ULONG mask = SERIAL_EV_RXFLAG | SERIAL_EV_EVENT2;
  EXPECT_EQ(Control(bench, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(port->FlowWord, 0x0081);
  EXPECT_EQ(port->SettingsChars[1], '!');
  EXPECT_EQ(Answer(bench, IOCTL_SERIAL_GET_WAIT_MASK, 4), Bytes({0x02, 0x10, 0, 0}));
  Request& wait = Control(bench, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  EXPECT_EQ(wait.dispatchStatus, STATUS_PENDING);
  ULONG purge = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  EXPECT_EQ(Control(bench, IOCTL_SERIAL_PURGE, &purge, 4, 0).dispatchStatus, STATUS_SUCCESS);
  EXPECT_FALSE(wait.done);
  mask = 0;
  Control(bench, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0);
  host::session::RunQueuedDpcs();
  EXPECT_EQ(wait.status, STATUS_SUCCESS);
  EXPECT_EQ(wait.information, 4u);
  EXPECT_EQ(port->FlowWord, 0x8000);
  EXPECT_TRUE(bench.TakePackets().empty()) << "a mask sends nothing";
}

}  // namespace
