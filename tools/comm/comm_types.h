// The structures and constants of the platform's communications calls, with their documented
// 32-bit layouts and field meanings, for programs that drive a COM port through the comm layer.
// The layouts are fixed-width here so that they match the 32-bit platform in a 64-bit host.
#pragma once

#include <cstddef>
#include <cstdint>

// The platform's (and the host's) spelling of the two truth values.
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

namespace comm {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using BOOL = int32_t;

constexpr DWORD MAXDWORD = 0xFFFFFFFF;

// ---- DCB ----

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, wReserved) == 12 && offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, ByteSize) == 18 && offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, EvtChar) == 25 && offsetof(DCB, wReserved1) == 26);

constexpr DWORD CBR_110 = 110, CBR_300 = 300, CBR_600 = 600, CBR_1200 = 1200, CBR_2400 = 2400,
                CBR_4800 = 4800, CBR_9600 = 9600, CBR_14400 = 14400, CBR_19200 = 19200,
                CBR_38400 = 38400, CBR_57600 = 57600, CBR_115200 = 115200,
                CBR_128000 = 128000, CBR_256000 = 256000;

constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                RTS_CONTROL_TOGGLE = 3;

// ---- COMMTIMEOUTS ----

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

// ---- COMSTAT and the error mask of ClearCommError ----

struct COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
};
static_assert(sizeof(COMSTAT) == 12 && offsetof(COMSTAT, cbInQue) == 4);

constexpr DWORD CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004,
                CE_FRAME = 0x0008, CE_BREAK = 0x0010;

// ---- COMMPROP ----

struct COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  char16_t wcProvChar[1];
};
static_assert(sizeof(COMMPROP) == 64);
static_assert(offsetof(COMMPROP, wSettableData) == 40 && offsetof(COMMPROP, wcProvChar) == 60);

constexpr DWORD SP_SERIALCOMM = 0x00000001;
constexpr DWORD PST_RS232 = 0x00000001;
constexpr DWORD BAUD_USER = 0x10000000;
constexpr DWORD PCF_DTRDSR = 0x0001, PCF_RTSCTS = 0x0002, PCF_RLSD = 0x0004,
                PCF_PARITY_CHECK = 0x0008, PCF_XONXOFF = 0x0010, PCF_SETXCHAR = 0x0020,
                PCF_TOTALTIMEOUTS = 0x0040, PCF_INTTIMEOUTS = 0x0080;

// ---- events, purges, escapes, modem status ----

constexpr DWORD EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008,
                EV_DSR = 0x0010, EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080,
                EV_RING = 0x0100;

constexpr DWORD PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004,
                PURGE_RXCLEAR = 0x0008;

constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6,
                RESETDEV = 7, SETBREAK = 8, CLRBREAK = 9;

constexpr DWORD MS_CTS_ON = 0x0010, MS_DSR_ON = 0x0020, MS_RING_ON = 0x0040, MS_RLSD_ON = 0x0080;

}  // namespace comm
