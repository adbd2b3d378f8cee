// Settings blocks as termios.
#include "line_termios.h"

namespace devserver {

speed_t SpeedOfRate(uint32_t rate) {
  struct Pair {
    uint32_t rate;
    speed_t speed;
  };
  static constexpr Pair kSpeeds[] = {{110, B110},     {300, B300},     {600, B600},
                                     {1200, B1200},   {2400, B2400},   {4800, B4800},
                                     {9600, B9600},   {19200, B19200}, {38400, B38400},
                                     {57600, B57600}, {115200, B115200}};
  for (const Pair& p : kSpeeds) {
    if (p.rate == rate) return p.speed;
  }
  return B0;
}

void MakeLineRaw(termios& mode) {
  cfmakeraw(&mode);
  mode.c_iflag |= IGNBRK;
  mode.c_iflag &= ~(INPCK | IGNPAR | PARMRK);
  mode.c_cflag |= CLOCAL | CREAD;
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
}

void ApplyLineSettings(const LineSettings& s, termios& mode) {
  if (const speed_t speed = SpeedOfRate(s.baudRate); speed != B0) {
    cfsetispeed(&mode, speed);
    cfsetospeed(&mode, speed);
  }
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  mode.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  mode.c_cflag |= kSizes[(s.dataBits - 5) & 3];
  if (s.stopHalves != 2) mode.c_cflag |= CSTOPB;
  if (s.parity != 'N') mode.c_cflag |= PARENB;
  if (s.parity == 'O') mode.c_cflag |= PARODD;
  if (s.rtsHandshake) mode.c_cflag |= CRTSCTS;
  mode.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (s.receiveAutoFlow) mode.c_iflag |= IXOFF;
}

}  // namespace devserver
