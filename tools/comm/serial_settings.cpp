// Translation between a DCB and the serial requests' structures.
#include "serial_settings.h"

namespace comm::detail {

namespace {

// The DTR control of a DCB and of a SERIAL_HANDFLOW share their values (0, 1, 2); the RTS
// control of a DCB (0 to 3) is the handflow's RTS field shifted down to bit 0.
constexpr ULONG kRtsShift = 6;

ULONG Bit(bool on, ULONG bit) { return on ? bit : 0; }

}  // namespace

DCB DcbFromSettings(const SerialSettings& s) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = s.baud.BaudRate;
  dcb.fBinary = 1;
  dcb.fParity = s.line.Parity != NOPARITY;
  const ULONG control = s.handflow.ControlHandShake;
  const ULONG flow = s.handflow.FlowReplace;
  dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
  dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
  dcb.fDtrControl = (control & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? DTR_CONTROL_HANDSHAKE
                                                                        : control & SERIAL_DTR_CONTROL;
  dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
  dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
  dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
  dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
  dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
  dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
  dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
  dcb.fRtsControl = (flow & SERIAL_RTS_MASK) >> kRtsShift;
  dcb.XonLim = static_cast<WORD>(s.handflow.XonLimit);
  dcb.XoffLim = static_cast<WORD>(s.handflow.XoffLimit);
  dcb.ByteSize = s.line.WordLength;
  dcb.Parity = s.line.Parity;
  dcb.StopBits = s.line.StopBits;
  dcb.XonChar = static_cast<char>(s.chars.XonChar);
  dcb.XoffChar = static_cast<char>(s.chars.XoffChar);
  dcb.ErrorChar = static_cast<char>(s.chars.ErrorChar);
  dcb.EofChar = static_cast<char>(s.chars.EofChar);
  dcb.EvtChar = static_cast<char>(s.chars.EventChar);
  return dcb;
}

SerialSettings SettingsFromDcb(const DCB& dcb, const SerialSettings& current) {
  SerialSettings s = current;
  s.baud.BaudRate = dcb.BaudRate;
  s.line = SERIAL_LINE_CONTROL{dcb.StopBits, dcb.Parity, dcb.ByteSize};
  s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
  s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
  s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
  s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
  s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);

  const ULONG dtr = dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ? SERIAL_DTR_HANDSHAKE
                    : dcb.fDtrControl == DTR_CONTROL_ENABLE  ? SERIAL_DTR_CONTROL
                                                             : 0;
  s.handflow.ControlHandShake = (current.handflow.ControlHandShake & SERIAL_DCD_HANDSHAKE) | dtr |
                                Bit(dcb.fOutxCtsFlow, SERIAL_CTS_HANDSHAKE) |
                                Bit(dcb.fOutxDsrFlow, SERIAL_DSR_HANDSHAKE) |
                                Bit(dcb.fDsrSensitivity, SERIAL_DSR_SENSITIVITY) |
                                Bit(dcb.fAbortOnError, SERIAL_ERROR_ABORT);
  s.handflow.FlowReplace = (current.handflow.FlowReplace & SERIAL_BREAK_CHAR) |
                           (static_cast<ULONG>(dcb.fRtsControl) << kRtsShift) |
                           Bit(dcb.fOutX, SERIAL_AUTO_TRANSMIT) | Bit(dcb.fInX, SERIAL_AUTO_RECEIVE) |
                           Bit(dcb.fErrorChar, SERIAL_ERROR_CHAR) |
                           Bit(dcb.fNull, SERIAL_NULL_STRIPPING) |
                           Bit(dcb.fTXContinueOnXoff, SERIAL_XOFF_CONTINUE);
  s.handflow.XonLimit = dcb.XonLim;
  s.handflow.XoffLimit = dcb.XoffLim;
  return s;
}

}  // namespace comm::detail
