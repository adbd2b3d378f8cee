// Line settings: the settings image and the blocks it sends, byte for byte; refusals that
// change nothing; handflow and event-character changes that reach the remote or do not; break.
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "host/session/executive.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;
using Packets = std::vector<std::vector<UCHAR>>;

namespace {

// Every case starts from the settings an open leaves.
class LineSettingsTest : public ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    bench_.emplace();
    port = bench_->Port();
    port->SettingsWord0 = 0;
    port->ModeWord = 0x0CBF;
    port->FlowWord = 0x8000;
    port->SettingsChars[4] = 1;
    port->SettingsChars[5] = 0;
    port->BaudRate = 38400;
    port->LineControl = 3;
  }
  void TearDown() override {
    bench_.reset();
    ManualExecutive::TearDown();
  }
  NTSTATUS SetLine(UCHAR stopBits, UCHAR parity, UCHAR wordLength) {
    SERIAL_LINE_CONTROL line{stopBits, parity, wordLength};
    return bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, 0), SetLineControl);
  }
  NTSTATUS SetBaud(ULONG rate) {
    return bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_BAUD_RATE, rate), SetBaudRate);
  }
  NTSTATUS SetFlow(ULONG controlHandShake, ULONG flowReplace) {
    SERIAL_HANDFLOW flow{controlHandShake, flowReplace, 10, 20};
    return bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, 0), SetHandFlow);
  }
  NTSTATUS Plain(ULONG code, SERIAL_CONTROL_HANDLER* handler) {
    return bench_->Answer(bench_->Control(code, nullptr, 0, 0), handler);
  }

  std::optional<SerialBench> bench_;
  PortRecord* port = nullptr;
};

// From the open values (8N1 at 38400), line controls in turn: a refused one changes nothing, and
// an accepted one sends a block only when it is new. The mode word takes the frame bits; parity
// none clears the parity-on bit only, odd sets both parity bits, even sets on and clears odd, and
// mark and space leave them as the last parity set them.
TEST_F(LineSettingsTest, LineControlsInTurnAndTheModeWordsTheyLeave) {
  // Stop bits, parity, word length; the answer, then the LineControl and ModeWord the port is left with.
  using Row = std::tuple<UCHAR, UCHAR, UCHAR, NTSTATUS, UCHAR, USHORT>;
  const Row rows[] = {
      {STOP_BIT_1, NO_PARITY, 8, STATUS_SUCCESS, 0x03, 0x0CBF},  // the open values again
      {STOP_BITS_2, NO_PARITY, 5, STATUS_INVALID_PARAMETER, 0x03, 0x0CBF},
      {STOP_BITS_1_5, NO_PARITY, 8, STATUS_INVALID_PARAMETER, 0x03, 0x0CBF},
      {STOP_BIT_1, 5, 8, STATUS_INVALID_PARAMETER, 0x03, 0x0CBF},
      {STOP_BIT_1, NO_PARITY, 9, STATUS_INVALID_PARAMETER, 0x03, 0x0CBF},
      {STOP_BIT_1, ODD_PARITY, 8, STATUS_SUCCESS, 0x0B, 0x0FBF},
      {STOP_BIT_1, NO_PARITY, 8, STATUS_SUCCESS, 0x03, 0x0EBF},
      {STOP_BIT_1, EVEN_PARITY, 7, STATUS_SUCCESS, 0x1A, 0x0DAF},
      {STOP_BITS_2, MARK_PARITY, 6, STATUS_SUCCESS, 0x2D, 0x0DDF},
      {STOP_BITS_1_5, SPACE_PARITY, 5, STATUS_SUCCESS, 0x3C, 0x0DCF},
  };
  UCHAR before = 0x03;
  for (auto [stop, parity, length, status, lineControl, modeWord] : rows) {
    SCOPED_TRACE(testing::Message() << int(stop) << "/" << int(parity) << "/" << int(length));
    EXPECT_EQ(SetLine(stop, parity, length), status);
    EXPECT_EQ(std::pair(port->LineControl, port->ModeWord), std::pair(lineControl, modeWord));
    EXPECT_EQ(bench_->TakePackets().size(), size_t{lineControl != std::exchange(before, lineControl)});
  }
  Request& get = bench_->Control(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, 3);
  EXPECT_EQ(bench_->Answer(get, GetLineControl), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<UCHAR>(get.buffer.begin(), get.buffer.begin() + get.information),
            (std::vector<UCHAR>{STOP_BITS_1_5, SPACE_PARITY, 5}));
}

// A new rate goes out once, with its code in the mode word (0 for a rate outside the table,
// which is kept as set), and the handler then pauses 100 us for the remote to take it.
TEST_F(LineSettingsTest, EachRateIsSentOnceWithItsCodeAndThePauseAfterIt) {
  for (auto [rate, code] : {std::pair{1800u, 0}, {38400u, 0xF}, {110u, 0x3}, {300u, 0x7}, {600u, 0x8}, {1200u, 0x9},
                            {2400u, 0xB}, {4800u, 0xC}, {9600u, 0xD}, {19200u, 0xE}, {57600u, 0x2}, {115200u, 0x5}}) {
    SCOPED_TRACE(rate);
    const int64_t start = host::session::SystemTime();
    EXPECT_EQ(SetBaud(rate), STATUS_SUCCESS);
    EXPECT_EQ(host::session::SystemTime() - start, 100 * 10);
    EXPECT_EQ(SetBaud(rate), STATUS_SUCCESS);
    EXPECT_EQ(bench_->TakePackets(), (Packets{{PKT_SETTINGS, 0x00, 0x00, 0x00, 0x00, UCHAR(0xB0 | code), 0x0C, 0x00,
                                                 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}}));
    Request& get = bench_->Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4);
    EXPECT_EQ(bench_->Answer(get, GetBaudRate), STATUS_SUCCESS);
    EXPECT_EQ(std::pair(get.information, get.Mask()), std::pair(ULONG_PTR{4}, rate));
  }
}

TEST_F(LineSettingsTest, OnlyRtsControlAndAutoReceiveReachTheRemote) {
  EXPECT_EQ(SetFlow(SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, 0), STATUS_SUCCESS);
  EXPECT_TRUE(bench_->TakePackets().empty());
  Request& get = bench_->Control(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, sizeof(SERIAL_HANDFLOW));
  EXPECT_EQ(bench_->Answer(get, GetHandFlow), STATUS_SUCCESS);
  SERIAL_HANDFLOW stored;
  memcpy(&stored, get.buffer.data(), sizeof stored);
  EXPECT_EQ(stored.ControlHandShake, ULONG(SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE));
  EXPECT_EQ(stored.XoffLimit, 20);

  EXPECT_EQ(SetFlow(0, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE), STATUS_SUCCESS);
  EXPECT_EQ(std::pair(port->ModeWord, port->SettingsWord0), std::pair(USHORT(0x04BF), USHORT(0x1400)));
  Packets packets = bench_->TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][2], 0x14);
  EXPECT_EQ(SetFlow(0x80, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetFlow(0, 0x20), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port->SettingsWord0, 0x1400);
}

TEST_F(LineSettingsTest, EventCharacterTravelsWithTheNextBlock) {
  port->SpecialChars[SPECIAL_EVENT] = 0x7E;
  ApplyEventChar(port, SERIAL_EV_RXFLAG);
  EXPECT_EQ(port->FlowWord, 0x0081);
  EXPECT_TRUE(bench_->TakePackets().empty());
  SetBaud(19200);  // the flow word and the event character, in both character slots; the last byte 0
  EXPECT_EQ(bench_->TakePackets(), (Packets{{PKT_SETTINGS, 0x00, 0x00, 0x00, 0x00, 0xBE, 0x0C, 0x81, 0x00, 0x00, 0x7E,
                                               0x7E, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}}));

  port->WaitMask = SERIAL_EV_RXFLAG;
  ApplyEventChar(port, SERIAL_EV_RXCHAR);
  EXPECT_EQ(std::pair(port->FlowWord, port->SettingsChars[0]), std::pair(USHORT(0x8000), UCHAR(0x7E)));
}

TEST_F(LineSettingsTest, BreakPacketsGoEveryTimeAndOnlyOverAnOpenLink) {
  EXPECT_EQ(Plain(IOCTL_SERIAL_SET_BREAK_ON, SetBreakOn), STATUS_SUCCESS);
  Plain(IOCTL_SERIAL_SET_BREAK_ON, SetBreakOn);
  EXPECT_EQ(port->HoldReasons, BREAK_HOLD);
  port->LinkFlags = 0;
  Plain(IOCTL_SERIAL_SET_BREAK_OFF, SetBreakOff);
  EXPECT_EQ(port->HoldReasons, 0u);
  EXPECT_EQ(bench_->TakePackets(), (Packets{{PKT_BREAK_ON}, {PKT_BREAK_ON}}));
}

}  // namespace
