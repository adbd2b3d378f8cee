// The calls that are one device-control request each: timeouts, queue sizes, wait masks,
// purges, the escape functions (break, DTR, RTS, XON/XOFF, reset) and the immediate character.
#include "device_control.h"

namespace comm {

using detail::ControlIn;
using detail::ControlNone;
using detail::ControlOut;

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));

BOOL GetCommTimeouts(Port& port, COMMTIMEOUTS& timeouts) {
  SERIAL_TIMEOUTS t{};
  if (!ControlOut(port, IOCTL_SERIAL_GET_TIMEOUTS, t)) return FALSE;
  timeouts = COMMTIMEOUTS{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                          t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                          t.WriteTotalTimeoutConstant};
  return TRUE;
}

BOOL SetCommTimeouts(Port& port, const COMMTIMEOUTS& timeouts) {
  const SERIAL_TIMEOUTS t{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                          timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                          timeouts.WriteTotalTimeoutConstant};
  return ControlIn(port, IOCTL_SERIAL_SET_TIMEOUTS, t);
}

BOOL SetupComm(Port& port, DWORD inQueue, DWORD outQueue) {
  return ControlIn(port, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{inQueue, outQueue});
}

BOOL SetCommMask(Port& port, DWORD mask) {
  return ControlIn(port, IOCTL_SERIAL_SET_WAIT_MASK, static_cast<ULONG>(mask));
}

BOOL GetCommMask(Port& port, DWORD& mask) {
  ULONG value = 0;
  if (!ControlOut(port, IOCTL_SERIAL_GET_WAIT_MASK, value)) return FALSE;
  mask = value;
  return TRUE;
}

BOOL PurgeComm(Port& port, DWORD flags) {
  return ControlIn(port, IOCTL_SERIAL_PURGE, static_cast<ULONG>(flags));
}

BOOL EscapeCommFunction(Port& port, DWORD function) {
  static constexpr ULONG kRequests[] = {
      0,                             // (no function 0)
      IOCTL_SERIAL_SET_XOFF,         // SETXOFF
      IOCTL_SERIAL_SET_XON,          // SETXON
      IOCTL_SERIAL_SET_RTS,          // SETRTS
      IOCTL_SERIAL_CLR_RTS,          // CLRRTS
      IOCTL_SERIAL_SET_DTR,          // SETDTR
      IOCTL_SERIAL_CLR_DTR,          // CLRDTR
      IOCTL_SERIAL_RESET_DEVICE,     // RESETDEV
      IOCTL_SERIAL_SET_BREAK_ON,     // SETBREAK
      IOCTL_SERIAL_SET_BREAK_OFF,    // CLRBREAK
  };
  if (function == 0 || function >= std::size(kRequests)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ControlNone(port, kRequests[function]);
}

BOOL SetCommBreak(Port& port) { return EscapeCommFunction(port, SETBREAK); }

BOOL ClearCommBreak(Port& port) { return EscapeCommFunction(port, CLRBREAK); }

BOOL TransmitCommChar(Port& port, char c) {
  return ControlIn(port, IOCTL_SERIAL_IMMEDIATE_CHAR, static_cast<UCHAR>(c));
}

}  // namespace comm
