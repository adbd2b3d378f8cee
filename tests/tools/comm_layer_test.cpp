// The comm layer against a recording driver: the requests each call sends, in order and with
// their buffers, how the answers become the caller's structures, and how refusals come back.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "comm.h"
#include "host/ddk/ntddser.h"
#include "serial_settings.h"
#include "support/executive_session.h"
#include "support/recording_serial_port.h"

namespace {

using namespace comm;
using testsupport::BytesOf;
using testsupport::RecordingSerialPort;
using Bytes = std::vector<uint8_t>;

// The four reads of GetCommState, then `more`.
std::vector<ULONG> AfterGetState(std::initializer_list<ULONG> more) {
  std::vector<ULONG> codes = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                              IOCTL_SERIAL_GET_HANDFLOW};
  codes.insert(codes.end(), more);
  return codes;
}

// The error a call that failed left (0xFFFFFFFF when it succeeded).
DWORD FailedWith(BOOL succeeded) { return succeeded ? 0xFFFFFFFF : GetLastError(); }

class CommLayerTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    recorder_ = std::make_unique<RecordingSerialPort>("COM3");
  }
  void TearDown() override {
    port_.Close();
    recorder_.reset();
    ManualExecutive::TearDown();
  }
  void Open() {
    port_ = OpenPort("\\\\.\\COM3");
    ASSERT_TRUE(port_.IsOpen()) << GetLastError();
    recorder_->Clear();
  }
  Bytes InputOf(size_t index) const { return recorder_->Requests().at(index).input; }

  std::unique_ptr<RecordingSerialPort> recorder_;
  Port port_;
};

TEST_F(CommLayerTest, GetCommStateReadsFourSettingsAndSetCommStateWritesThemThenTheLinesOrSetsThemBack) {
  Open();
  // The port as it answers GetCommState: 9600 bauds, 7 data bits, even parity, one stop bit,
  // RTS handshake with CTS output flow, DCD handshake and the break-character flag (neither of
  // which a DCB can carry), break character '!'.
  recorder_->AnswerWith(IOCTL_SERIAL_GET_BAUD_RATE, SERIAL_BAUD_RATE{9600});
  recorder_->AnswerWith(IOCTL_SERIAL_GET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 7});
  recorder_->AnswerWith(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{0x1A, 0, '!', '\n', 0x11, 0x13});
  recorder_->AnswerWith(IOCTL_SERIAL_GET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_CTS_HANDSHAKE | SERIAL_DCD_HANDSHAKE,
                                                                   SERIAL_RTS_HANDSHAKE | SERIAL_BREAK_CHAR, 100, 200});
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port_, dcb));
  EXPECT_EQ(recorder_->Codes(), AfterGetState({}));
  EXPECT_EQ(std::tuple(size_t{dcb.DCBlength}, dcb.BaudRate, +dcb.ByteSize, +dcb.Parity, +dcb.EvtChar, +dcb.XonLim),
            std::tuple(sizeof(DCB), 9600u, 7, +EVENPARITY, int{'\n'}, 100));
  EXPECT_TRUE(dcb.fBinary && dcb.fParity && dcb.fOutxCtsFlow);
  EXPECT_EQ(std::pair(+dcb.fRtsControl, +dcb.fDtrControl), std::pair(int{RTS_CONTROL_HANDSHAKE}, int{DTR_CONTROL_DISABLE}));

  recorder_->Clear();
  dcb.BaudRate = 19200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = 1;  // XON and XOFF as read: 0x11 and 0x13
  ASSERT_TRUE(SetCommState(port_, dcb)) << GetLastError();
  EXPECT_EQ(recorder_->Codes(), AfterGetState({IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                               IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS}));
  EXPECT_EQ(InputOf(4), BytesOf(SERIAL_BAUD_RATE{19200}));
  EXPECT_EQ(InputOf(5), BytesOf(SERIAL_LINE_CONTROL{STOP_BITS_2, NO_PARITY, 8}));
  EXPECT_EQ(InputOf(6), BytesOf(SERIAL_CHARS{0x1A, 0, '!', '\n', 0x11, 0x13})) << "break char kept";
  EXPECT_EQ(InputOf(7), BytesOf(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_DCD_HANDSHAKE,
                                                SERIAL_AUTO_TRANSMIT | SERIAL_BREAK_CHAR, 100, 200}));

  // Handshake and toggle controls leave the lines to the driver.
  recorder_->Clear();
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  ASSERT_TRUE(SetCommState(port_, dcb));
  EXPECT_EQ(recorder_->Codes().size(), 8u);
  EXPECT_EQ(detail::DcbFromSettings(detail::SettingsFromDcb(dcb, {})).fRtsControl, RTS_CONTROL_TOGGLE);

  // A refusal is returned, and the settings sent before it are set back as they were read.
  recorder_->Answer(IOCTL_SERIAL_SET_CHARS, STATUS_INVALID_PARAMETER);
  recorder_->Clear();
  dcb.BaudRate = 115200;
  SetLastError(0);
  EXPECT_EQ(FailedWith(SetCommState(port_, dcb)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(recorder_->Codes(), AfterGetState({IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                               IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL}));
  EXPECT_EQ(InputOf(7), BytesOf(SERIAL_BAUD_RATE{9600})) << "the old rate set back";

  // Equal XON and XOFF characters are refused before anything is sent.
  recorder_->Clear();
  dcb.XoffChar = dcb.XonChar;
  EXPECT_EQ(FailedWith(SetCommState(port_, dcb)), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(recorder_->Requests().empty());

  // A refused read of the state ends GetCommState at that request.
  recorder_->Answer(IOCTL_SERIAL_GET_LINE_CONTROL, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(FailedWith(GetCommState(port_, dcb)), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(recorder_->Codes().size(), 2u);
}

// A call of one request: the code it sends (which names it in a failure), its input and output length.
struct OneRequestCall {
  std::function<BOOL(Port&)> call;
  ULONG code;
  Bytes input;
  ULONG outputLength;
};

TEST_F(CommLayerTest, OneRequestCallsSendTheirCodeAndBuffersAndReturnRefusals) {
  const COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 10, 40};
  std::vector<OneRequestCall> calls = {
      {[&](Port& p) { return SetCommTimeouts(p, timeouts); }, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0},
      {[](Port& p) { COMMTIMEOUTS t; return GetCommTimeouts(p, t); }, IOCTL_SERIAL_GET_TIMEOUTS, {}, 20},
      {[](Port& p) { return SetupComm(p, 4096, 2048); }, IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(SERIAL_QUEUE_SIZE{4096, 2048}), 0},
      {[](Port& p) { return SetCommMask(p, EV_RXCHAR | EV_TXEMPTY); }, IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{5}), 0},
      {[](Port& p) { DWORD m; return GetCommMask(p, m); }, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4},
      {[](Port& p) { return PurgeComm(p, PURGE_TXABORT | PURGE_RXCLEAR); }, IOCTL_SERIAL_PURGE, BytesOf(ULONG{9}), 0},
      {[](Port& p) { return SetCommBreak(p); }, IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
      {[](Port& p) { return ClearCommBreak(p); }, IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
      {[](Port& p) { return TransmitCommChar(p, 'A'); }, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{'A'}, 0},
      {[](Port& p) { DWORD s; return GetCommModemStatus(p, s); }, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4},
      {[](Port& p) { COMMPROP c; return GetCommProperties(p, c); }, IOCTL_SERIAL_GET_PROPERTIES, {}, 64},
      {[](Port& p) { return ClearCommError(p, nullptr, nullptr); }, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20},
  };
  const ULONG escapes[] = {IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON,      IOCTL_SERIAL_SET_RTS,
                           IOCTL_SERIAL_CLR_RTS,  IOCTL_SERIAL_SET_DTR,      IOCTL_SERIAL_CLR_DTR,
                           IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF};
  for (DWORD f = SETXOFF; f <= CLRBREAK; ++f) {
    calls.push_back({[f](Port& p) { return EscapeCommFunction(p, f); }, escapes[f - 1], {}, 0});
  }
  Open();
  for (const OneRequestCall& c : calls) {
    SCOPED_TRACE(testing::Message() << "the call of code 0x" << std::hex << c.code);
    recorder_->Clear();
    EXPECT_TRUE(c.call(port_));
    const auto requests = recorder_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::tuple(requests[0].code, requests[0].input, requests[0].length), std::tuple(c.code, c.input, c.outputLength));

    recorder_->Answer(c.code, STATUS_NOT_IMPLEMENTED);
    SetLastError(0);
    EXPECT_EQ(FailedWith(c.call(port_)), ERROR_INVALID_FUNCTION) << "reports a refusal";
    recorder_->Answer(c.code, STATUS_SUCCESS);
  }
  recorder_->Clear();
  EXPECT_EQ(FailedWith(EscapeCommFunction(port_, CLRBREAK + 1)), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(recorder_->Requests().empty());
}

TEST_F(CommLayerTest, StatusAnswersAreTranslatedIntoTheCallersStructures) {
  Open();
  recorder_->AnswerWith(IOCTL_SERIAL_GET_COMMSTATUS,
                        SERIAL_STATUS{SERIAL_ERROR_BREAK | SERIAL_ERROR_PARITY | SERIAL_ERROR_QUEUEOVERRUN,
                                      SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT | SERIAL_TX_WAITING_ON_BREAK,
                                      5, 1024, FALSE, TRUE});
  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(errors, CE_BREAK | CE_RXPARITY | CE_RXOVER);
  EXPECT_TRUE(stat.fCtsHold && stat.fXoffSent && stat.fTxim);
  EXPECT_FALSE(stat.fDsrHold || stat.fRlsdHold || stat.fXoffHold || stat.fEof);
  EXPECT_EQ(std::pair(stat.cbInQue, stat.cbOutQue), std::pair(DWORD{5}, DWORD{1024}));

  recorder_->AnswerWith(IOCTL_SERIAL_GET_MODEMSTATUS, ULONG{0x80 | 0x0F});
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(port_, modem));
  EXPECT_EQ(modem, MS_RLSD_ON) << "only the four line states";

  recorder_->AnswerWith(IOCTL_SERIAL_GET_PROPERTIES,
                        SERIAL_COMMPROP{.PacketLength = 64, .MaxBaud = SERIAL_BAUD_USER, .SettableData = 0x000F,
                                        .SettableStopParity = 0x0705});
  COMMPROP p{};
  ASSERT_TRUE(GetCommProperties(port_, p));
  EXPECT_EQ(std::tuple(+p.wPacketLength, +p.dwMaxBaud, +p.wSettableData, +p.wSettableStopParity),
            std::tuple(64, +BAUD_USER, 0x000F, 0x0705));
}

TEST_F(CommLayerTest, TransfersAndWaitsBlockingAndOverlapped) {
  Open();
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(port_, "abc", 3, &done, nullptr));
  EXPECT_EQ(std::pair(done, recorder_->Requests().back().input), std::pair(DWORD{3}, Bytes{'a', 'b', 'c'}));
  ASSERT_TRUE(FlushFileBuffers(port_));
  EXPECT_EQ(recorder_->Majors().back(), IRP_MJ_FLUSH_BUFFERS);

  char buffer[8] = {};
  Overlapped read;
  EXPECT_EQ(FailedWith(ReadFile(port_, buffer, sizeof buffer, &done, &read)), ERROR_IO_PENDING);
  EXPECT_EQ(FailedWith(GetOverlappedResult(port_, read, done, FALSE)), ERROR_IO_INCOMPLETE);
  ASSERT_TRUE(recorder_->ReleaseOldest(STATUS_TIMEOUT, Bytes{'x', 'y'}));
  ASSERT_TRUE(GetOverlappedResult(port_, read, done, TRUE)) << "a timed-out read succeeds";
  EXPECT_EQ(std::pair(done, std::string(buffer)), std::pair(DWORD{2}, std::string("xy")));

  recorder_->Hold(IOCTL_SERIAL_WAIT_ON_MASK);
  DWORD mask = 0;
  Overlapped wait;
  EXPECT_EQ(FailedWith(WaitCommEvent(port_, mask, &wait)), ERROR_IO_PENDING);
  ASSERT_TRUE(recorder_->ReleaseOldest(STATUS_SUCCESS, BytesOf(ULONG{EV_RXCHAR | EV_BREAK})));
  ASSERT_TRUE(GetOverlappedResult(port_, wait, done, TRUE));
  EXPECT_EQ(mask, EV_RXCHAR | EV_BREAK);

  Overlapped cancelled;
  EXPECT_FALSE(WaitCommEvent(port_, mask, &cancelled));
  EXPECT_TRUE(CancelIoEx(port_, cancelled));
  EXPECT_EQ(FailedWith(GetOverlappedResult(port_, cancelled, done, TRUE)), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(FailedWith(CancelIoEx(port_, cancelled)), ERROR_NOT_FOUND);

  EXPECT_TRUE(ClosePort(port_));
  EXPECT_EQ(FailedWith(ClosePort(port_)), ERROR_INVALID_HANDLE);
}

TEST_F(CommLayerTest, OpenRefusalsCarryTheirErrors) {
  recorder_->AnswerCreate(STATUS_FILES_OPEN);
  EXPECT_EQ(FailedWith(OpenPort("COM3").IsOpen()), ERROR_OPEN_FILES);
  recorder_->AnswerCreate(STATUS_SUCCESS);
  Port first = OpenPort("COM3");
  ASSERT_TRUE(first.IsOpen());
  EXPECT_EQ(FailedWith(OpenPort("COM9").IsOpen()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ErrorFromStatus(STATUS_SERIAL_NO_DEVICE_INITED), ERROR_MR_MID_NOT_FOUND);
}

}  // namespace
