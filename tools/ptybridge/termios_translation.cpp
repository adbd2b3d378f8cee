// Terminal settings as a COM port's DCB.
#include "termios_translation.h"

#include <cstring>

#ifndef BOTHER
#define BOTHER 0010000
#endif

namespace ptybridge {

namespace {

struct NamedRate {
  speed_t code;
  uint32_t rate;
};

constexpr NamedRate kNamedRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

comm::BYTE ParityOf(tcflag_t cflag) {
  if (cflag & CMSPAR) return (cflag & PARODD) ? comm::MARKPARITY : comm::SPACEPARITY;
  if (cflag & PARODD) return comm::ODDPARITY;
  return (cflag & PARENB) ? comm::EVENPARITY : comm::NOPARITY;
}

}  // namespace

uint32_t RateOf(const TerminalMode& mode) {
  const speed_t code = mode.c_cflag & CBAUD;
  if (code == BOTHER) return mode.c_ospeed;
  for (const NamedRate& n : kNamedRates) {
    if (n.code == code) return n.rate;
  }
  return 0;
}

comm::DCB PortStateFor(const TerminalMode& mode, const comm::DCB& current) {
  comm::DCB dcb = current;
  if (const uint32_t rate = RateOf(mode); rate != 0) dcb.BaudRate = rate;
  static constexpr comm::BYTE kSizes[] = {5, 6, 7, 8};
  dcb.ByteSize = kSizes[(mode.c_cflag & CSIZE) / CS6];
  dcb.Parity = ParityOf(mode.c_cflag);
  dcb.fParity = dcb.Parity != comm::NOPARITY;
  dcb.StopBits = !(mode.c_cflag & CSTOPB) ? comm::ONESTOPBIT
                 : dcb.ByteSize == 5      ? comm::ONE5STOPBITS
                                          : comm::TWOSTOPBITS;
  const bool rtscts = (mode.c_cflag & CRTSCTS) != 0;
  dcb.fOutxCtsFlow = rtscts;
  dcb.fRtsControl = rtscts ? comm::RTS_CONTROL_HANDSHAKE : comm::RTS_CONTROL_ENABLE;
  dcb.fDtrControl = comm::DTR_CONTROL_ENABLE;
  dcb.fOutX = (mode.c_iflag & IXON) != 0;
  dcb.fInX = (mode.c_iflag & IXOFF) != 0;
  if (mode.c_cc[VSTART] != mode.c_cc[VSTOP]) {
    dcb.XonChar = static_cast<char>(mode.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(mode.c_cc[VSTOP]);
  }
  return dcb;
}

bool SameSettings(const comm::DCB& a, const comm::DCB& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace ptybridge
