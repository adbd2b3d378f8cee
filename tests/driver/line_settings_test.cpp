// Line settings: the settings image and the blocks it sends, byte for byte; refusals that
// change nothing; handflow and event-character changes that reach the remote or do not; break.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "host/session/executive.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using testsupport::Request;
using testsupport::SerialBench;
using Packets = std::vector<std::vector<UCHAR>>;

namespace {

// Every case starts from the settings an open leaves.
class LineSettingsTest : public testsupport::ManualExecutive {
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
    return bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, 0),
                          SetLineControl);
  }
  NTSTATUS SetBaud(ULONG rate) {
    return bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_BAUD_RATE, rate), SetBaudRate);
  }
  NTSTATUS SetFlow(ULONG controlHandShake, ULONG flowReplace) {
    SERIAL_HANDFLOW flow{controlHandShake, flowReplace, 10, 20};
    return bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, 0), SetHandFlow);
  }
  static std::vector<UCHAR> Settings(std::initializer_list<UCHAR> block) {
    std::vector<UCHAR> packet{PKT_SETTINGS};
    packet.insert(packet.end(), block);
    return packet;
  }

  std::optional<SerialBench> bench_;
  PortRecord* port = nullptr;
};

TEST_F(LineSettingsTest, WorkedExampleByteForByte) {
  EXPECT_EQ(SetBaud(38400), STATUS_SUCCESS);
  EXPECT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 8), STATUS_SUCCESS);
  EXPECT_TRUE(bench_->TakePackets().empty()) << "the open values again send nothing";

  EXPECT_EQ(SetBaud(9600), STATUS_SUCCESS);
  EXPECT_EQ(port->ModeWord, 0x0CBD);
  std::vector<UCHAR> block = Settings({0x00, 0x00, 0x00, 0x00, 0xBD, 0x0C, 0x00, 0x80, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(bench_->TakePackets(), Packets{block});
  EXPECT_EQ(SetLine(STOP_BIT_1, EVEN_PARITY, 7), STATUS_SUCCESS);
  EXPECT_EQ(port->LineControl, 0x1A);
  EXPECT_EQ(port->ModeWord, 0x0DAD);
  EXPECT_EQ(bench_->TakePackets().size(), 1u);
}

// A new rate goes out once, with its code in the mode word (0 for a rate outside the table,
// which is kept as set), and the handler then pauses 100 us for the remote to take it.
TEST_F(LineSettingsTest, EachRateIsSentOnceWithItsCodeAndThePauseAfterIt) {
  for (auto [rate, code] : {std::pair{1800u, 0}, {38400u, 0xF}, {110u, 0x3}, {115200u, 0x5}}) {
    SCOPED_TRACE(rate);
    const int64_t start = host::session::SystemTime();
    EXPECT_EQ(SetBaud(rate), STATUS_SUCCESS);
    EXPECT_EQ(host::session::SystemTime() - start, 100 * 10);
    EXPECT_EQ(SetBaud(rate), STATUS_SUCCESS);
    Packets packets = bench_->TakePackets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][5] & 0x0F, code);
    Request& get = bench_->Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4);
    EXPECT_EQ(bench_->Answer(get, GetBaudRate), STATUS_SUCCESS);
    EXPECT_EQ(std::pair(get.information, get.Mask()), std::pair(ULONG_PTR{4}, rate));
  }
}

TEST_F(LineSettingsTest, RefusedLineControlsChangeNothing) {
  for (auto [stop, parity, length] : {std::tuple{STOP_BITS_2, NO_PARITY, 5}, {STOP_BITS_1_5, NO_PARITY, 8},
                                      {STOP_BIT_1, 5, 8}, {STOP_BIT_1, NO_PARITY, 9}}) {
    EXPECT_EQ(SetLine(UCHAR(stop), UCHAR(parity), UCHAR(length)), STATUS_INVALID_PARAMETER) << stop << parity << length;
  }
  EXPECT_EQ(std::pair(port->LineControl, port->ModeWord), std::pair(UCHAR(3), USHORT(0x0CBF)));
  EXPECT_TRUE(bench_->TakePackets().empty());

  EXPECT_EQ(SetLine(STOP_BITS_1_5, SPACE_PARITY, 5), STATUS_SUCCESS);
  Request& get = bench_->Control(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, 3);
  EXPECT_EQ(bench_->Answer(get, GetLineControl), STATUS_SUCCESS);
  EXPECT_EQ(get.information, 3u);
  EXPECT_EQ(std::vector<UCHAR>(get.buffer.begin(), get.buffer.begin() + 3),
            (std::vector<UCHAR>{STOP_BITS_1_5, SPACE_PARITY, 5}));
}

TEST_F(LineSettingsTest, MarkAndSpaceLeaveTheParityBitsAsTheLastParitySetThem) {
  SetLine(STOP_BIT_1, ODD_PARITY, 8);
  SetLine(STOP_BIT_1, NO_PARITY, 8);
  EXPECT_EQ(port->ModeWord & 0x0300, 0x0200) << "none clears bit 8 only";
  SetLine(STOP_BIT_1, EVEN_PARITY, 8);
  SetLine(STOP_BITS_2, MARK_PARITY, 6);
  EXPECT_EQ(port->ModeWord, 0x0DDF) << "6 data bits, 2 stop bits, parity bits as even set them";
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
  EXPECT_EQ(port->ModeWord, 0x04BF);
  EXPECT_EQ(port->SettingsWord0, 0x1400);
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
  SetBaud(19200);
  Packets packets = bench_->TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(std::vector<UCHAR>(packets[0].begin() + 7, packets[0].begin() + 12),
            (std::vector<UCHAR>{0x81, 0x00, 0x00, 0x7E, 0x7E}));
  EXPECT_EQ(packets[0].back(), 0) << "the block's last byte";

  port->WaitMask = SERIAL_EV_RXFLAG;
  ApplyEventChar(port, SERIAL_EV_RXCHAR);
  EXPECT_EQ(port->FlowWord, 0x8000);
  EXPECT_EQ(port->SettingsChars[0], 0x7E);
}

TEST_F(LineSettingsTest, BreakPacketsGoEveryTimeAndOnlyOverAnOpenLink) {
  Request& on = bench_->Control(IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, 0);
  EXPECT_EQ(bench_->Answer(on, SetBreakOn), STATUS_SUCCESS);
  bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, 0), SetBreakOn);
  EXPECT_EQ(port->HoldReasons, BREAK_HOLD);
  port->LinkFlags = 0;
  bench_->Answer(bench_->Control(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, 0), SetBreakOff);
  EXPECT_EQ(port->HoldReasons, 0u);
  EXPECT_EQ(bench_->TakePackets(), (Packets{{PKT_BREAK_ON}, {PKT_BREAK_ON}}));
}

}  // namespace
