// The status calls: ClearCommError (the communication status and its error mask),
// GetCommModemStatus and GetCommProperties.
#include <cstring>

#include "device_control.h"

namespace comm {

namespace {

// A bit of the driver's answer and the bit of the caller's structure it becomes.
struct BitMap {
  ULONG from;
  DWORD to;
};

constexpr BitMap kErrors[] = {
    {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER}, {SERIAL_ERROR_OVERRUN, CE_OVERRUN},
    {SERIAL_ERROR_PARITY, CE_RXPARITY},     {SERIAL_ERROR_FRAMING, CE_FRAME},
    {SERIAL_ERROR_BREAK, CE_BREAK},
};

// The hold reasons in the order of COMSTAT's first five flags; waiting on a break has no flag.
constexpr BitMap kHolds[] = {
    {SERIAL_TX_WAITING_FOR_CTS, 0x01}, {SERIAL_TX_WAITING_FOR_DSR, 0x02},
    {SERIAL_TX_WAITING_FOR_DCD, 0x04}, {SERIAL_TX_WAITING_FOR_XON, 0x08},
    {SERIAL_TX_WAITING_XOFF_SENT, 0x10},
};

template <size_t N>
DWORD Translate(ULONG value, const BitMap (&map)[N]) {
  DWORD result = 0;
  for (const BitMap& m : map) {
    if (value & m.from) result |= m.to;
  }
  return result;
}

COMSTAT StatusOf(const SERIAL_STATUS& s) {
  const DWORD holds = Translate(s.HoldReasons, kHolds);
  COMSTAT c{};
  c.fCtsHold = holds & 0x01;
  c.fDsrHold = (holds >> 1) & 1;
  c.fRlsdHold = (holds >> 2) & 1;
  c.fXoffHold = (holds >> 3) & 1;
  c.fXoffSent = (holds >> 4) & 1;
  c.fEof = s.EofReceived != 0;
  c.fTxim = s.WaitForImmediate != 0;
  c.cbInQue = s.AmountInInQueue;
  c.cbOutQue = s.AmountInOutQueue;
  return c;
}

}  // namespace

BOOL ClearCommError(Port& port, DWORD* errors, COMSTAT* status) {
  SERIAL_STATUS s{};
  if (!detail::ControlOut(port, IOCTL_SERIAL_GET_COMMSTATUS, s)) return FALSE;
  if (errors != nullptr) *errors = Translate(s.Errors, kErrors);
  if (status != nullptr) *status = StatusOf(s);
  return TRUE;
}

BOOL GetCommModemStatus(Port& port, DWORD& modemStatus) {
  ULONG value = 0;
  if (!detail::ControlOut(port, IOCTL_SERIAL_GET_MODEMSTATUS, value)) return FALSE;
  modemStatus = value & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  return TRUE;
}

BOOL GetCommProperties(Port& port, COMMPROP& properties) {
  static_assert(sizeof(COMMPROP) == 64 && offsetof(SERIAL_COMMPROP, ProvChar) == 60);
  SERIAL_COMMPROP p{};
  if (!detail::ControlOut(port, IOCTL_SERIAL_GET_PROPERTIES, p)) return FALSE;
  std::memcpy(&properties, &p, sizeof properties);
  return TRUE;
}

}  // namespace comm
