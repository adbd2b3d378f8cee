// Device control: every code's buffer minimums, status and information count; the answers
// built byte for byte; the timeouts, DTR/RTS, wait-mask and purge checks. Each request's system
// buffer is exactly as large as the I/O manager would make it, so AddressSanitizer sees any
// answer that reads or writes past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;
using Bytes = std::vector<UCHAR>;

namespace {

class DeviceControlTest : public ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    bench.emplace();
    port = bench->Port();
  }
  void TearDown() override {
    bench->TakePackets();
    bench.reset();
    ManualExecutive::TearDown();
  }
  void Dispatch(Request& request) {
    bench->Send(request, [](PortRecord* port, PIRP irp) { return DispatchDeviceControl(port->DeviceObject, irp); });
  }
  Request& Control(ULONG code, const void* input = nullptr, ULONG in = 0, ULONG out = 0) {
    Request& request = bench->Control(code, input, in, out);
    Dispatch(request);
    return request;
  }
  Bytes Answer(ULONG code, ULONG out) {
    Request& request = Control(code, nullptr, 0, out);
    EXPECT_EQ(std::pair(request.status, request.information), std::pair(STATUS_SUCCESS, ULONG_PTR{out}));
    return Bytes(request.buffer.begin(), request.buffer.begin() + out);
  }
  NTSTATUS SetFlow(ULONG controlHandShake, ULONG flowReplace) {
    SERIAL_HANDFLOW flow{controlHandShake, flowReplace, 0, 0};
    return Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow).status;
  }
  NTSTATUS SetTimeouts(const SERIAL_TIMEOUTS& timeouts) {
    return Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts).status;
  }
  NTSTATUS SetMask(ULONG code, ULONG mask) { return Control(code, &mask, 4).status; }

  std::optional<SerialBench> bench;
  PortRecord* port = nullptr;
};

// A code, its input and output minimums; its answer to zeroed buffers of exactly the minimums.
using Row = std::tuple<ULONG, ULONG, ULONG, NTSTATUS, ULONG>;

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
  const std::pair<NTSTATUS, std::vector<ULONG>> unbuffered[] = {
      {STATUS_SUCCESS, {IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
                        IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_RTS,
                        IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLEAR_STATS}},
      {STATUS_NOT_IMPLEMENTED, {IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER,
                                IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_LSRMST_INSERT}},
      {STATUS_INVALID_PARAMETER, {0x1B0084u, 0x1B0088u, IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL,
                                  IOCTL_SERIAL_SET_FIFO_CONTROL, 0x1B0000u, 0x1B0006u, 0x1B0041u, 0x2B0044u}},
  };
  for (const auto& [status, codes] : unbuffered) {
    for (ULONG code : codes) rows.push_back({code, 0, 0, status, 0});
  }
  return rows;
}

// At its minimums a code answers as the table says; one byte short on either side it is
// STATUS_BUFFER_TOO_SMALL with information 0 and the port record unchanged; with buffers far
// larger it gives the same answer and writes nothing past it.
TEST_F(DeviceControlTest, EveryCodeAnswersWithinItsBuffers) {
  for (auto [code, in, out, status, information] : Table()) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    Bytes zeros(256, 0);
    for (bool inputShort : {true, false}) {
      if ((inputShort ? in : out) == 0) continue;  // no minimum to fall short of
      Bytes before(reinterpret_cast<UCHAR*>(port), reinterpret_cast<UCHAR*>(port + 1));
      Request& shortOne = Control(code, zeros.data(), in - inputShort, out - !inputShort);
      EXPECT_EQ(std::tuple(shortOne.status, shortOne.information, shortOne.boost),
                std::tuple(STATUS_BUFFER_TOO_SMALL, ULONG_PTR{0}, CCHAR(IO_NO_INCREMENT)));
      EXPECT_EQ(std::memcmp(before.data(), port, sizeof *port), 0) << "nothing changed";
    }
    Request& exact = Control(code, zeros.data(), in, out);
    EXPECT_EQ(std::pair(exact.status, exact.information), std::pair(status, ULONG_PTR{information}));
    Request& large = bench->Control(code, zeros.data(), in, 256);
    std::fill(large.buffer.begin() + in, large.buffer.end(), 0xA5);
    Dispatch(large);
    EXPECT_EQ(std::pair(large.status, large.information), std::pair(status, ULONG_PTR{information}));
    EXPECT_TRUE(std::all_of(large.buffer.begin() + std::max(in, information),
                            large.buffer.end(), [](UCHAR b) { return b == 0xA5; }));
  }
}

TEST_F(DeviceControlTest, AnswersByteForByte) {
  const Bytes properties = {
      64, 0, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, 0, 0, 0, 0, 0, 0, 0x10, 1, 0, 0, 0, 0xFF, 0, 0, 0,
      0x7F, 0, 0, 0, 0xF2, 0x6B, 0x06, 0x10, 0x0F, 0, 0x05, 0x07, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_PROPERTIES, 64), properties);
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_STATS, 24), Bytes(24, 0));
  EXPECT_EQ(Answer(IOCTL_SERIAL_CONFIG_SIZE, 4), Bytes(4, 0));

  Control(IOCTL_SERIAL_SET_BREAK_ON);
  PortTable[0].RxRing.ReadIndex = 1000;
  PortTable[0].RxRing.WriteIndex = 5;
  port->CharsQueued = 5;
  port->ImmediatePending = 1;
  const Bytes busy = {0, 0, 0, 0, 0x20, 0, 0, 0, 29, 0, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0};
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20), busy);
  PortTable[0].RxRing.ReadIndex = 5;
  port->ImmediatePending = 0;
  port->CharsQueued = 0;
  Control(IOCTL_SERIAL_SET_BREAK_OFF);
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20), Bytes(20, 0)) << "idle again";

  port->ModemStatus = 0x80;  // carrier detect, as an open leaves it
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_MODEMSTATUS, 4), Bytes({0x80, 0, 0, 0}));
  const UCHAR chars[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_CHARS, chars, 6).status, STATUS_SUCCESS);
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_CHARS, 6), Bytes(chars, chars + 6));
  EXPECT_EQ(port->SettingsChars[0], 0) << "the settings image keeps its own characters";
}

TEST_F(DeviceControlTest, TimeoutsRefuseOnlyAllThreeReadValuesAtMaximum) {
  const SERIAL_TIMEOUTS stored{1, 2, 3, 4, 5};
  ASSERT_EQ(SetTimeouts(stored), STATUS_SUCCESS);
  EXPECT_EQ(SetTimeouts({MAXULONG, MAXULONG, MAXULONG, 7, 8}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_TIMEOUTS, 20),
            Bytes(reinterpret_cast<const UCHAR*>(&stored), reinterpret_cast<const UCHAR*>(&stored + 1)));
  for (int plain = 0; plain < 3; plain++) {
    ULONG read[3] = {MAXULONG, MAXULONG, MAXULONG};
    read[plain] = 10;
    const SERIAL_TIMEOUTS accepted{read[0], read[1], read[2], 7, 8};
    EXPECT_EQ(SetTimeouts(accepted), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(port->Timeouts, &accepted, sizeof accepted), 0);
  }
}

TEST_F(DeviceControlTest, DtrAndRtsAreRefusedOnlyWhileHandshakingOwnsThem) {
  using Mode = std::tuple<ULONG, ULONG, NTSTATUS, NTSTATUS>;  // handshake, replace; answers to DTR, to RTS
  for (auto [control, replace, dtr, rts] :
       {Mode{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, STATUS_SUCCESS, STATUS_SUCCESS},
        Mode{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        Mode{0, SERIAL_TRANSMIT_TOGGLE, STATUS_SUCCESS, STATUS_INVALID_PARAMETER}}) {
    ASSERT_EQ(SetFlow(control, replace), STATUS_SUCCESS);
    bench->TakePackets();
    for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR}) EXPECT_EQ(Control(code).status, dtr);
    for (ULONG code : {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}) EXPECT_EQ(Control(code).status, rts);
    EXPECT_TRUE(bench->TakePackets().empty()) << "no line state reaches the remote";
  }
}

// Refused masks change nothing; an accepted event-character mask reaches the settings image
// before the request queues; a wait accepted through the dispatcher pends until a new mask.
TEST_F(DeviceControlTest, MaskAndPurgeRequestsAreCheckedBeforeTheyQueue) {
  port->SpecialChars[SPECIAL_EVENT] = '!';
  for (ULONG mask : {0x2000u | SERIAL_EV_RXFLAG, 0x80000000u}) {
    EXPECT_EQ(SetMask(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(port->FlowWord, 0);
  for (ULONG mask : {0u, 0x10u, 0x80000001u}) EXPECT_EQ(SetMask(IOCTL_SERIAL_PURGE, mask), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetMask(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXFLAG | SERIAL_EV_EVENT2), STATUS_SUCCESS);
  EXPECT_EQ(std::pair(port->FlowWord, port->SettingsChars[1]), std::pair(USHORT(0x0081), UCHAR('!')));
  EXPECT_EQ(Answer(IOCTL_SERIAL_GET_WAIT_MASK, 4), Bytes({0x02, 0x10, 0, 0}));
  Request& wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  EXPECT_EQ(wait.dispatchStatus, STATUS_PENDING);
  ULONG purge = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  EXPECT_EQ(Control(IOCTL_SERIAL_PURGE, &purge, 4).dispatchStatus, STATUS_SUCCESS);
  EXPECT_FALSE(wait.done);
  SetMask(IOCTL_SERIAL_SET_WAIT_MASK, 0);
  host::session::RunQueuedDpcs();
  EXPECT_EQ(std::tuple(wait.status, wait.information, port->FlowWord),
            std::tuple(STATUS_SUCCESS, ULONG_PTR{4}, USHORT(0x8000)));
  EXPECT_TRUE(bench->TakePackets().empty()) << "a mask sends nothing";
}

}  // namespace
